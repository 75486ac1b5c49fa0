#include "adt/tagged_reader.h"

#include <algorithm>
#include <cstring>

namespace adt {

using namespace tagged;

namespace {
// Values up to this size are allocated at once; larger ones grow as their bytes arrive.
constexpr size_t kUpfrontValue = 1 << 20;
}  // namespace

uint8_t TaggedReader::nextTag() {
  if (pending_) {
    pending_ = false;
    skipRaw(size_);
  }
  tag_ = 0;
  size_ = 0;
  if (left_ == 0) fill();
  if (left_ >= kLongHeaderSize) {
    if (pos_[0] == kLongFormMarker) {
      tag_ = pos_[1];
      size_ = getLe32(pos_ + 2);
      pos_ += kLongHeaderSize;
      left_ -= kLongHeaderSize;
    } else {
      tag_ = pos_[0];
      size_ = pos_[1];
      pos_ += kShortHeaderSize;
      left_ -= kShortHeaderSize;
    }
  } else {
    // At a block boundary: byte by byte.
    uint8_t first;
    if (left_ == 0) {
      if (read(&first, 1) == 0) return 0;  // clean end of the input
    } else {
      first = *pos_++;
      --left_;
    }
    if (first == kLongFormMarker) {
      uint8_t rest[5];
      readRaw(rest, sizeof rest);
      tag_ = rest[0];
      size_ = getLe32(rest + 1);
    } else {
      uint8_t size;
      readRaw(&size, 1);
      tag_ = first;
      size_ = size;
    }
  }
  pending_ = true;
  return tag_;
}

uint8_t TaggedReader::currentTag() {
  if (!pending_) nextTag();
  return tag_;
}

uint32_t TaggedReader::currentSize() {
  if (!pending_) nextTag();
  return size_;
}

void TaggedReader::skipValue() {
  if (!pending_) return;
  pending_ = false;
  skipRaw(size_);
}

void TaggedReader::requireElement() {
  if (!pending_ && nextTag() == 0) throwUnexpectedEof();
}

void TaggedReader::readRaw(void* dst, size_t n) {
  if (n == 0) return;
  uint8_t* out = static_cast<uint8_t*>(dst);
  const size_t fromBlock = std::min(n, left_);
  if (fromBlock) {
    std::memcpy(out, pos_, fromBlock);
    pos_ += fromBlock;
    left_ -= fromBlock;
  }
  for (size_t done = fromBlock; done < n;) {
    const size_t got = read(out + done, n - done);
    if (got == 0) throwUnexpectedEof();
    done += got;
  }
}

void TaggedReader::skipRaw(size_t n) {
  if (left_ >= n) {
    pos_ += n;
    left_ -= n;
    return;
  }
  n -= left_;
  pos_ += left_;
  left_ = 0;
  uint8_t scratch[kSkipPiece];
  while (n) {
    const size_t got = read(scratch, std::min(n, sizeof scratch));
    if (got == 0) throwUnexpectedEof();
    n -= got;
  }
}

void TaggedReader::read(uint8_t expectedTag, void* dst, size_t size) {
  requireElement();
  if (tag_ != expectedTag) throwInvalidTag(expectedTag, tag_);
  readExact(dst, size);
}

void TaggedReader::readExact(void* dst, size_t size) {
  requireElement();
  if (size_ != size) throwInvalidSize(tag_, size, size_);
  pending_ = false;
  if (left_ >= size) {  // the common case: the whole value is in the block
    std::memcpy(dst, pos_, size);
    pos_ += size;
    left_ -= size;
    return;
  }
  readRaw(dst, size);
}

uint8_t TaggedReader::readByte() {
  uint8_t v;
  readExact(&v, 1);
  return v;
}

int32_t TaggedReader::readInt() {
  uint8_t v[4];
  readExact(v, sizeof v);
  return static_cast<int32_t>(getLe32(v));
}

int64_t TaggedReader::readInt64() {
  uint8_t v[8];
  readExact(v, sizeof v);
  return static_cast<int64_t>(getLe64(v));
}

template <typename Container>
void TaggedReader::readValue(Container& out) {
  requireElement();
  const size_t size = size_;
  if (size > maxValueSize_) throwReaderTooLong();
  pending_ = false;
  if (size <= left_ || size <= kUpfrontValue) {
    out.resize(size);
    readRaw(out.data(), size);
    return;
  }
  // A long-form size is only a promise: grow the container as the bytes really arrive, so
  // a header claiming gigabytes on a short input does not allocate them up front.
  out.clear();
  size_t done = 0;
  while (done < size) {
    const size_t piece = std::min(size - done, std::max(done, kUpfrontValue));
    out.resize(done + piece);
    readRaw(out.data() + done, piece);
    done += piece;
  }
}

void TaggedReader::readString(String& out) {
  requireElement();
  if (size_ <= left_) {  // decode straight from the block
    out = decodeText(pos_, size_);
    pos_ += size_;
    left_ -= size_;
    pending_ = false;
    return;
  }
  String raw;
  readValue(raw);
  out = decodeText(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
}

String TaggedReader::readString() {
  String s;
  readString(s);
  return s;
}

void TaggedReader::readBytes(Bytes& out) { readValue(out); }

void TaggedReader::readBlob(Bytes& out) {
  requireElement();
  if (tag_ != kBlobTag) throwInvalidTag(kBlobTag, tag_);
  readValue(out);
}

void TaggedReader::checkStreamSignature() {
  requireElement();
  if (tag_ != kSignatureTag) throwInvalidTag(kSignatureTag, tag_);
  if (size_ != kSignatureSize) throwInvalidFormat();
  uint8_t value[kSignatureSize];
  readExact(value, sizeof value);
  if (!signatureAccepted(value)) throwInvalidFormat();
}

// --- MemoryTaggedReader ---

void MemoryTaggedReader::assign(const void* data, size_t n) {
  uint8_t* store = inline_;
  if (n > kInlineSize) {
    if (heapCapacity_ < n) {
      heap_.reset(new uint8_t[n]);
      heapCapacity_ = n;
    }
    store = heap_.get();
  }
  if (n) std::memcpy(store, data, n);
  data_ = store;
  size_ = n;
  offset_ = 0;
  resetParser();
}

size_t MemoryTaggedReader::fill() {
  const size_t n = size_ - offset_;
  setBlock(data_ + offset_, n);
  offset_ = size_;
  return n;
}

size_t MemoryTaggedReader::read(void* dst, size_t n) {
  n = std::min(n, size_ - offset_);
  if (n) std::memcpy(dst, data_ + offset_, n);
  offset_ += n;
  return n;
}

// --- TaggedBufferReader ---

size_t TaggedBufferReader::fill() {
  const size_t n = size_ - offset_;
  setBlock(data_ + offset_, n);
  offset_ = size_;
  return n;
}

size_t TaggedBufferReader::read(void* dst, size_t n) {
  n = std::min(n, size_ - offset_);
  if (n) std::memcpy(dst, data_ + offset_, n);
  offset_ += n;
  return n;
}

// --- StreamTaggedReader ---

size_t StreamTaggedReader::fill() {
  const size_t n = in_.read(block_, sizeof block_);
  setBlock(block_, n);
  return n;
}

}  // namespace adt
