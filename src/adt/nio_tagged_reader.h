// Incremental parsing of the tagged binary format over received blocks: an element is handed
// out only once its header and its entire value have arrived.
#pragma once
#include <cstddef>
#include <cstdint>

#include "adt/nio_reader.h"
#include "adt/text.h"

namespace adt {

// One complete element of an NioTaggedReader. Its value is consumed through the operations
// below; each consumed byte lowers size(), and what is left is discarded by the next next().
// Valid until the next call of next() on its reader.
class NioTag {
 public:
  uint8_t tag() const { return tag_; }
  // Value bytes not consumed yet.
  uint32_t size() const { return size_; }

  // The stream signature element: tag 201, six bytes "tio\0", major 1, minor 0.
  void checkStreamSignature();
  // The rest of the value as text: Windows-1251, or UTF-8 after 0x07 0x0B.
  void readString(String& out);
  String readString();
  // The rest of the value, which must be exactly n bytes.
  void readExact(void* dst, size_t n);
  uint8_t readByte();
  int32_t readInt();
  int64_t readInt64();
  // The rest of the value.
  void readBytes(Bytes& out);

 private:
  friend class NioTaggedReader;
  uint8_t tag_ = 0;
  uint32_t size_ = 0;
  NioReader* reader_ = nullptr;
};

// The parsing state over a byte source supplied by a subclass (read and has). Resumes where
// it stopped when more bytes arrive, so a partly received element is never exposed.
class NioTaggedReader : public NioReader {
 public:
  // The current element once it is complete; null while more bytes are needed. Throws "Tag
  // size too long" for an element declaring more than the maximum element size.
  NioTag* next();

  // Elements declaring a larger value are refused rather than waited for (default: no limit
  // beyond the format's 4 GiB - 1).
  void setMaxElementSize(uint32_t limit) { maxElementSize_ = limit; }

 private:
  enum State { kHeader = 0, kLongSize = 1, kValue = 2 };

  State state_ = kHeader;
  NioTag current_;
  uint32_t maxElementSize_ = 0xFFFFFFFFu;
};

}  // namespace adt

// The incremental tagged reader of connections: the parsing state of adt::NioTaggedReader over
// the block queue of adt::NioQueueReader. Kept outside namespace adt like the other
// connection-level classes that use it. Owns the blocks appended to it; single-threaded.
class AMTaggedReader final : public adt::NioTaggedReader, public adt::NioQueueReader {
 public:
  void read(void* dst, size_t n) override { NioQueueReader::read(dst, n); }
  bool has(size_t n) const override { return NioQueueReader::has(n); }
};
