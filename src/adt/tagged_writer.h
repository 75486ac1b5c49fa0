// Writers of the tagged binary format (see adt/tagged_format.h for the bytes).
//
// TaggedWriter gathers small elements in a 1024-byte staging buffer so that a message made of
// many small fields reaches its destination in few write calls; a value too large for the
// staging buffer goes out in one writev together with what is staged and its header, without
// being copied. Writers are single-threaded objects owned by the channel or task using them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adt/stream.h"
#include "adt/tagged_format.h"
#include "adt/text.h"

namespace adt {

class MemoryTaggedWriter;
class TaggedWriter;

// An object that writes itself as one element.
class TaggedWritable {
 public:
  // Writes the object's content into `out` as a single element with `tag`.
  virtual void writeTo(uint8_t tag, TaggedWriter& out) = 0;

 protected:
  ~TaggedWritable() = default;
};

class TaggedWriter {
 public:
  TaggedWriter() = default;
  TaggedWriter(const TaggedWriter&) = delete;
  TaggedWriter& operator=(const TaggedWriter&) = delete;
  virtual ~TaggedWriter() = default;

  // Delivers n bytes to the destination, all of them or throws.
  virtual void write(const void* data, size_t n) = 0;
  // Delivers the chunks in order; the default writes each non-empty chunk.
  virtual void writev(const Chunk* chunks, int count);

  // Appends one element. Throws TaggedWriterException "Tag size too long" above 4 GiB - 1,
  // before anything of the element is staged.
  void writeTag(uint8_t tag, const void* data, size_t size);

  void writeByte(uint8_t tag, uint8_t value) { putFixed(tag, &value, 1); }
  void writeInt(uint8_t tag, int32_t value);
  void writeInt64(uint8_t tag, int64_t value);
  // UTF-8 in, Windows-1251 out; an empty string is an element of size 0.
  void writeString(uint8_t tag, const String& text);
  // UTF-8 in, Windows-1251 out; nothing at all is written when text is null or empty.
  void writeString(uint8_t tag, const char* text);
  void writeBytes(uint8_t tag, const Bytes& bytes) { writeTag(tag, bytes.data(), bytes.size()); }
  // The whole content of `nested` (its staging buffer flushed first) as one value.
  void writeNested(uint8_t tag, MemoryTaggedWriter& nested);
  // The stream signature element C9 06 74 69 6F 00 01 00.
  void writeStreamSignature() { putFixed(tagged::kSignatureTag, tagged::kSignature, 6); }

  // Passes staged bytes to write() and empties the staging buffer.
  void flush();

 protected:
  size_t stagedSize() const { return fill_; }
  // Forgets staged bytes without writing them.
  void discardStaged() { fill_ = 0; }

 private:
  // An element of 1..8 value bytes, stored straight into the staging buffer.
  void putFixed(uint8_t tag, const void* value, size_t size);

  uint8_t staging_[tagged::kStagingSize];
  size_t fill_ = 0;
};

// Collects the stream in a heap array owned by the writer.
class MemoryTaggedWriter : public TaggedWriter {
 public:
  MemoryTaggedWriter() = default;
  ~MemoryTaggedWriter() override = default;

  void write(const void* data, size_t n) override;
  void writev(const Chunk* chunks, int count) override;

  // The bytes written so far (flushes the staging buffer first); valid until the next write.
  const uint8_t* data();
  size_t size();
  Bytes toBytes();
  bool isEmpty() const { return stagedSize() == 0 && length_ == 0; }
  // Forgets everything written and frees the array.
  void reset();
  // Forgets everything written but keeps the array for the next message.
  void clear();

 private:
  void reserveFor(size_t n);

  std::unique_ptr<uint8_t[]> bytes_;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

// Appends the stream to a byte buffer held by the caller, which must outlive the writer.
// The destructor flushes; call flush() to see a failure.
class TaggedBufferWriter : public TaggedWriter {
 public:
  explicit TaggedBufferWriter(Bytes& out) : out_(out) {}
  ~TaggedBufferWriter() override;

  void write(const void* data, size_t n) override;

 private:
  Bytes& out_;
};

// Writes the stream to an OutputStream held by the caller (not owned), using its gather write
// for large values. The destructor flushes the staging buffer (not the stream); a failure there
// is logged, so call flush() to see it.
class StreamTaggedWriter : public TaggedWriter {
 public:
  explicit StreamTaggedWriter(OutputStream& out) : out_(out) {}
  ~StreamTaggedWriter() override;

  void write(const void* data, size_t n) override { out_.write(data, n); }
  void writev(const Chunk* chunks, int count) override { out_.writev(chunks, count); }

 private:
  OutputStream& out_;
};

}  // namespace adt
