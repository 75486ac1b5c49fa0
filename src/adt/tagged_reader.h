// Readers of the tagged binary format (see adt/tagged_format.h for the bytes).
//
// A TaggedReader parses headers from a current block of bytes that its subclass supplies
// through fill(), and reads the rest of a value that does not lie in the block straight into
// the destination through read(). Headers are decoded in place when the block holds at least
// six bytes and byte by byte only at block boundaries. After an exception the position in the
// input is undefined and the reader must not be used further. Readers are single-threaded
// objects owned by the channel or task using them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adt/stream.h"
#include "adt/tagged_format.h"
#include "adt/text.h"

namespace adt {

class TaggedReader;

// An object that takes the content of one element.
class TaggedReadable {
 public:
  // Takes the current element of `in`, which must carry `tag`, as the object's content.
  virtual void readFrom(uint8_t tag, TaggedReader& in) = 0;

 protected:
  ~TaggedReadable() = default;
};

class TaggedReader {
 public:
  TaggedReader() = default;
  TaggedReader(const TaggedReader&) = delete;
  TaggedReader& operator=(const TaggedReader&) = delete;
  virtual ~TaggedReader() = default;

  // Copies up to n bytes from the source past the current block; 0 at the end of the input.
  virtual size_t read(void* dst, size_t n) = 0;
  // Makes a new block current (setBlock) and returns its size; 0 at the end of the input.
  virtual size_t fill() = 0;

  // Skips what is left of the current value and reads the next header; returns its tag, or 0
  // when the input ends cleanly before a header.
  uint8_t nextTag();
  // Tag and size of the pending element, reading its header first if none is pending; tag 0
  // at the end of the input.
  uint8_t currentTag();
  uint32_t currentSize();
  // Discards the pending value.
  void skipValue();

  // The value reads below take the pending element (reading its header first if none is
  // pending) and consume its value; "Tag stream unexpected eof" when the input has ended.

  // The element must carry expectedTag and exactly `size` bytes.
  void read(uint8_t expectedTag, void* dst, size_t size);
  // The element must carry exactly `size` bytes.
  void readExact(void* dst, size_t size);
  uint8_t readByte();
  int32_t readInt();
  int64_t readInt64();
  // Windows-1251 converted to UTF-8, or the 0x07 0x0B form taken as UTF-8.
  void readString(String& out);
  String readString();
  // The whole value.
  void readBytes(Bytes& out);
  // The whole value of an element that must carry tag 202.
  void readBlob(Bytes& out);
  // Checks the stream signature element (tag 201, see tagged_format.h).
  void checkStreamSignature();

  // Values longer than this are refused with "Tag size too long" by readString, readBytes and
  // readBlob instead of being read (default: no limit beyond the format's 4 GiB - 1). Large
  // values are read in growing pieces, so a header that promises more than the input holds
  // costs memory only for what actually arrives.
  void setMaxValueSize(uint32_t limit) { maxValueSize_ = limit; }
  uint32_t maxValueSize() const { return maxValueSize_; }

 protected:
  // For fill(): the bytes [data, data + n) become the current block.
  void setBlock(const uint8_t* data, size_t n) {
    pos_ = data;
    left_ = n;
  }
  // Forgets the current block and any pending header (a subclass starting new input).
  void resetParser() {
    pos_ = nullptr;
    left_ = 0;
    pending_ = false;
    tag_ = 0;
    size_ = 0;
  }

 private:
  // Reads a header if none is pending; throws "Tag stream unexpected eof" at the end.
  void requireElement();
  // n bytes from the block, then from read(); throws at the end of the input.
  void readRaw(void* dst, size_t n);
  void skipRaw(size_t n);
  // The pending value into out, with the length checks of readBytes.
  template <typename Container>
  void readValue(Container& out);

  const uint8_t* pos_ = nullptr;
  size_t left_ = 0;
  uint8_t tag_ = 0;
  uint32_t size_ = 0;
  bool pending_ = false;
  uint32_t maxValueSize_ = 0xFFFFFFFFu;
};

// Reads its own copy of a byte array: inline for up to 4096 bytes, otherwise a heap block
// that is kept and reused while large enough.
class MemoryTaggedReader : public TaggedReader {
 public:
  static constexpr size_t kInlineSize = 4096;

  MemoryTaggedReader() = default;
  MemoryTaggedReader(const void* data, size_t n) { assign(data, n); }
  explicit MemoryTaggedReader(const Bytes& bytes) { assign(bytes.data(), bytes.size()); }

  // Replaces the content and starts reading it from the beginning.
  void assign(const void* data, size_t n);

  using TaggedReader::read;
  size_t read(void* dst, size_t n) override;
  size_t fill() override;

 private:
  uint8_t inline_[kInlineSize];
  std::unique_ptr<uint8_t[]> heap_;
  size_t heapCapacity_ = 0;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t offset_ = 0;
};

// Reads a span held by the caller (not copied), which must outlive the reader.
class TaggedBufferReader : public TaggedReader {
 public:
  TaggedBufferReader(const void* data, size_t n)
      : data_(static_cast<const uint8_t*>(data)), size_(n) {}
  explicit TaggedBufferReader(const Bytes& bytes)
      : TaggedBufferReader(bytes.data(), bytes.size()) {}

  using TaggedReader::read;
  size_t read(void* dst, size_t n) override;
  size_t fill() override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// Reads an InputStream held by the caller (not owned) through an inline 4096-byte block.
class StreamTaggedReader : public TaggedReader {
 public:
  static constexpr size_t kBlockSize = 4096;

  explicit StreamTaggedReader(InputStream& in) : in_(in) {}

  using TaggedReader::read;
  size_t read(void* dst, size_t n) override { return in_.read(dst, n); }
  size_t fill() override;

 private:
  InputStream& in_;
  uint8_t block_[kBlockSize];
};

}  // namespace adt
