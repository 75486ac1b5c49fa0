#include "adt/nio_tagged_reader.h"

#include "adt/tagged_format.h"

namespace adt {

using namespace tagged;

NioTag* NioTaggedReader::next() {
  for (;;) {
    switch (state_) {
      case kHeader: {
        current_.reader_ = this;
        if (current_.size_) read(nullptr, current_.size_);  // what the caller left
        current_.size_ = 0;
        if (!has(kShortHeaderSize)) return nullptr;
        uint8_t first;
        read(&first, 1);
        if (first == kLongFormMarker) {
          read(&current_.tag_, 1);
          state_ = kLongSize;
        } else {
          uint8_t size;
          read(&size, 1);
          current_.tag_ = first;
          current_.size_ = size;
          if (current_.size_ > maxElementSize_) throwReaderTooLong();
          state_ = kValue;
        }
        break;
      }
      case kLongSize: {
        if (!has(4)) return nullptr;
        uint8_t size[4];
        read(size, sizeof size);
        current_.size_ = getLe32(size);
        if (current_.size_ > maxElementSize_) throwReaderTooLong();
        state_ = kValue;
        break;
      }
      case kValue:
        if (!has(current_.size_)) return nullptr;
        state_ = kHeader;
        return &current_;
    }
  }
}

void NioTag::checkStreamSignature() {
  if (tag_ != kSignatureTag) throwInvalidTag(kSignatureTag, tag_);
  if (size_ != kSignatureSize) throwInvalidFormat();
  uint8_t value[kSignatureSize];
  readExact(value, sizeof value);
  if (!signatureAccepted(value)) throwInvalidFormat();
}

void NioTag::readExact(void* dst, size_t n) {
  if (size_ != n) throwInvalidSize(tag_, n, size_);
  reader_->read(dst, n);
  size_ = 0;
}

uint8_t NioTag::readByte() {
  uint8_t v;
  readExact(&v, 1);
  return v;
}

int32_t NioTag::readInt() {
  uint8_t v[4];
  readExact(v, sizeof v);
  return static_cast<int32_t>(getLe32(v));
}

int64_t NioTag::readInt64() {
  uint8_t v[8];
  readExact(v, sizeof v);
  return static_cast<int64_t>(getLe64(v));
}

void NioTag::readBytes(Bytes& out) {
  out.resize(size_);
  reader_->read(out.data(), size_);
  size_ = 0;
}

void NioTag::readString(String& out) {
  Bytes raw;
  readBytes(raw);
  out = decodeText(raw.data(), raw.size());
}

String NioTag::readString() {
  String s;
  readString(s);
  return s;
}

}  // namespace adt
