// Compressed tagged values: a tagged stream deflated (zlib wrapper, level 6, window bits 15,
// memory level 8) and carried as the value of one element of an outer stream.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "adt/text.h"

namespace adt {

// Writes a tagged stream through deflate into a heap array it owns; writeTo() finishes the
// stream and writes it as one element. The next write after writeTo() starts a new stream.
// Single-threaded.
class CompressedMemoryTaggedWriter : public TaggedWriter, public TaggedWritable {
 public:
  static constexpr size_t kInitialCapacity = 16384;

  CompressedMemoryTaggedWriter();
  ~CompressedMemoryTaggedWriter() override;

  void write(const void* data, size_t n) override;
  // Finishes the deflate stream (starting an empty one if nothing was written) and writes the
  // compressed bytes into `out` as one element with `tag`.
  void writeTo(uint8_t tag, TaggedWriter& out) override;

  // After writeTo(): the compressed bytes and how many bytes went into deflate.
  const uint8_t* compressedData() const { return out_.get(); }
  size_t compressedSize() const { return length_; }
  uint64_t uncompressedSize() const { return consumed_; }

 private:
  void start();
  void grow();

  struct State;
  std::unique_ptr<State> state_;
  std::unique_ptr<uint8_t[]> out_;
  size_t capacity_ = 0;
  size_t length_ = 0;
  uint64_t consumed_ = 0;
  bool active_ = false;
};

// Reads the tagged stream inside a compressed element. readFrom() takes the element from the
// outer reader; the reader then behaves as any TaggedReader over the inflated content.
// Inflating stops with IOException "zlib data error: inflated size over the limit" once the
// content exceeds the limit (default 64 MiB), so a small hostile value cannot exhaust memory.
// Single-threaded.
class CompressedMemoryTaggedReader : public TaggedReader, public TaggedReadable {
 public:
  static constexpr size_t kBlockSize = 8192;
  static constexpr uint64_t kDefaultMaxInflated = 64ull << 20;

  explicit CompressedMemoryTaggedReader(uint64_t maxInflated = kDefaultMaxInflated);
  ~CompressedMemoryTaggedReader() override;

  // The pending (or next) element of `in` must carry `tag`; its value becomes the input.
  void readFrom(uint8_t tag, TaggedReader& in) override;

  void setMaxInflatedSize(uint64_t limit) { maxInflated_ = limit; }

  using TaggedReader::read;
  size_t read(void* dst, size_t n) override;
  size_t fill() override;

 private:
  // One inflate step into [dst, dst + n); returns the bytes produced, 0 only at the end.
  size_t inflateInto(uint8_t* dst, size_t n);

  struct State;
  std::unique_ptr<State> state_;
  Bytes input_;
  uint64_t maxInflated_;
  bool used_ = false;
  bool ended_ = true;
  uint8_t block_[kBlockSize];
};

}  // namespace adt
