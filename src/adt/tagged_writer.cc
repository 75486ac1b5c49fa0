#include "adt/tagged_writer.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "adt/log.h"

namespace adt {

using namespace tagged;

void TaggedWriter::writev(const Chunk* chunks, int count) {
  for (int i = 0; i < count; ++i) {
    if (chunks[i].size) write(chunks[i].data, chunks[i].size);
  }
}

void TaggedWriter::writeTag(uint8_t tag, const void* data, size_t size) {
  if (size > kMaxValueSize) throwWriterTooLong();
  if (size <= kMaxShortValue) {
    if (fill_ && fill_ + kShortHeaderSize + size > kStagingSize) flush();
    uint8_t* p = staging_ + fill_;
    p[0] = tag;
    p[1] = static_cast<uint8_t>(size);
    if (size) std::memcpy(p + 2, data, size);
    fill_ += kShortHeaderSize + size;
    return;
  }
  uint8_t header[kLongHeaderSize];
  header[0] = kLongFormMarker;
  header[1] = tag;
  putLe32(header + 2, static_cast<uint32_t>(size));
  if (fill_ + kLongHeaderSize + size < kStagingSize) {
    std::memcpy(staging_ + fill_, header, kLongHeaderSize);
    std::memcpy(staging_ + fill_ + kLongHeaderSize, data, size);
    fill_ += kLongHeaderSize + size;
    return;
  }
  // Staged bytes, header and value leave together; the value is not copied.
  const Chunk chunks[3] = {{fill_, staging_}, {kLongHeaderSize, header}, {size, data}};
  writev(chunks, 3);
  fill_ = 0;
}

void TaggedWriter::putFixed(uint8_t tag, const void* value, size_t size) {
  if (fill_ && fill_ + kShortHeaderSize + size > kStagingSize) flush();
  uint8_t* p = staging_ + fill_;
  p[0] = tag;
  p[1] = static_cast<uint8_t>(size);
  std::memcpy(p + 2, value, size);
  fill_ += kShortHeaderSize + size;
}

void TaggedWriter::writeInt(uint8_t tag, int32_t value) {
  uint8_t v[4];
  putLe32(v, static_cast<uint32_t>(value));
  putFixed(tag, v, sizeof v);
}

void TaggedWriter::writeInt64(uint8_t tag, int64_t value) {
  uint8_t v[8];
  putLe64(v, static_cast<uint64_t>(value));
  putFixed(tag, v, sizeof v);
}

void TaggedWriter::writeString(uint8_t tag, const String& text) {
  const std::string cp = toCp1251(text);
  writeTag(tag, cp.data(), cp.size());
}

void TaggedWriter::writeString(uint8_t tag, const char* text) {
  if (text == nullptr || *text == '\0') return;
  const std::string cp = toCp1251(text);
  writeTag(tag, cp.data(), cp.size());
}

void TaggedWriter::writeNested(uint8_t tag, MemoryTaggedWriter& nested) {
  const uint8_t* data = nested.data();
  writeTag(tag, data, nested.size());
}

void TaggedWriter::flush() {
  if (fill_ == 0) return;
  write(staging_, fill_);
  fill_ = 0;
}

// --- MemoryTaggedWriter ---

void MemoryTaggedWriter::reserveFor(size_t n) {
  if (n <= capacity_ - length_) return;
  const size_t wanted = n + 256 + 2 * length_;
  if (wanted <= capacity_) return;
  std::unique_ptr<uint8_t[]> grown(new uint8_t[wanted]);
  if (length_) std::memcpy(grown.get(), bytes_.get(), length_);
  bytes_ = std::move(grown);
  capacity_ = wanted;
}

void MemoryTaggedWriter::write(const void* data, size_t n) {
  if (n == 0) return;
  reserveFor(n);
  std::memcpy(bytes_.get() + length_, data, n);
  length_ += n;
}

void MemoryTaggedWriter::writev(const Chunk* chunks, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += chunks[i].size;
  reserveFor(total);  // one growth for the whole gather write
  for (int i = 0; i < count; ++i) write(chunks[i].data, chunks[i].size);
}

const uint8_t* MemoryTaggedWriter::data() {
  flush();
  return bytes_.get();
}

size_t MemoryTaggedWriter::size() {
  flush();
  return length_;
}

Bytes MemoryTaggedWriter::toBytes() {
  const uint8_t* p = data();
  return Bytes(p, p + length_);
}

void MemoryTaggedWriter::reset() {
  discardStaged();
  bytes_.reset();
  length_ = 0;
  capacity_ = 0;
}

void MemoryTaggedWriter::clear() {
  discardStaged();
  length_ = 0;
}

// --- TaggedBufferWriter ---

TaggedBufferWriter::~TaggedBufferWriter() {
  try {
    flush();
  } catch (const std::exception& e) {
    log(LOG_ERR, format("TaggedBufferWriter: staged bytes lost: %s", e.what()));
  }
}

void TaggedBufferWriter::write(const void* data, size_t n) {
  if (n == 0) return;
  const size_t needed = out_.size() + n;
  if (needed > out_.capacity()) out_.reserve(std::max(2 * out_.capacity() + 256, needed));
  const uint8_t* p = static_cast<const uint8_t*>(data);
  out_.insert(out_.end(), p, p + n);
}

// --- StreamTaggedWriter ---

StreamTaggedWriter::~StreamTaggedWriter() {
  try {
    flush();
  } catch (const std::exception& e) {
    log(LOG_ERR, format("StreamTaggedWriter: staged bytes lost: %s", e.what()));
  }
}

}  // namespace adt
