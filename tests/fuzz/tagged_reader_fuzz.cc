// The tagged binary format through the blocking readers: a span, a private copy, a stream
// read in 4096-byte blocks, and compressed elements inside any of them. The input's first
// bytes choose the reader and the reads to make; the rest is the stream.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "adt/exception.h"
#include "adt/stream.h"
#include "adt/tagged_compressed.h"
#include "adt/tagged_reader.h"
#include "fuzz_support.h"

namespace {

// Hands out the stream in pieces of a chosen size, as a socket would.
class PieceStream final : public adt::InputStream {
 public:
  PieceStream(const uint8_t* data, size_t size, size_t piece)
      : data_(data), size_(size), piece_(piece) {}
  size_t read(void* dst, size_t n) override {
    n = std::min({n, piece_, size_ - offset_});
    std::memcpy(dst, data_ + offset_, n);
    offset_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t piece_;
  size_t offset_ = 0;
};

// Inflated content of one compressed element; smaller than the readers' 64 MiB default so
// that an execution stays short (the limit's check is the same).
constexpr uint64_t kMaxInflated = 4u << 20;
// Reads made on one input at most.
constexpr int kMaxOps = 4096;

// One read chosen by `op`; false once the input has ended.
bool step(adt::TaggedReader& in, uint8_t op, int depth) {
  adt::String text;
  adt::Bytes bytes;
  uint8_t buffer[32];
  switch (op % 14) {
    case 0:
      return in.nextTag() != 0;
    case 1:
      return in.currentTag() != 0 && in.currentSize() <= adt::tagged::kMaxValueSize;
    case 2:
      in.skipValue();
      return in.currentTag() != 0;
    case 3:
      in.readByte();
      return true;
    case 4:
      in.readInt();
      return true;
    case 5:
      in.readInt64();
      return true;
    case 6:
      in.readString(text);
      return true;
    case 7:
      in.readBytes(bytes);
      return true;
    case 8:
      in.readBlob(bytes);
      return true;
    case 9:
      in.checkStreamSignature();
      return true;
    case 10:
      in.readExact(buffer, op / 14 % sizeof buffer);
      return true;
    case 11:
      in.read(static_cast<uint8_t>(op), buffer, op / 14 % sizeof buffer);
      return true;
    case 12:
      in.setMaxValueSize(op & 0x80 ? 1u << 20 : 0xFFFFFFFFu);
      return true;
    default: {
      // A compressed element: its inflated stream read element by element.
      if (depth > 2) return true;
      const uint8_t tag = in.currentTag();
      if (tag == 0) return false;
      adt::CompressedMemoryTaggedReader inner(kMaxInflated);
      inner.readFrom(tag, in);
      for (int i = 0; i < 64 && step(inner, static_cast<uint8_t>(i * 7 + op), depth + 1); ++i) {
      }
      return true;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t kind = data[0];
  const size_t opCount = 1 + data[1] % 32;
  if (size < 2 + opCount) return 0;
  const uint8_t* ops = data + 2;
  const uint8_t* stream = ops + opCount;
  const size_t streamSize = size - 2 - opCount;

  std::unique_ptr<adt::TaggedReader> reader;
  std::unique_ptr<PieceStream> source;
  switch (kind % 3) {
    case 0:
      reader = std::make_unique<adt::TaggedBufferReader>(stream, streamSize);
      break;
    case 1:
      reader = std::make_unique<adt::MemoryTaggedReader>(stream, streamSize);
      break;
    default:
      source = std::make_unique<PieceStream>(stream, streamSize, 1 + kind / 3 * 97);
      reader = std::make_unique<adt::StreamTaggedReader>(*source);
      break;
  }
  try {
    for (int i = 0; i < kMaxOps; ++i) {
      if (!step(*reader, ops[i % opCount], 0)) break;
    }
  } catch (const adt::Exception&) {
    // A refused stream (reader and zlib errors) ends its reading, as it ends a connection.
  }
  return 0;
}
