#include "adt/tagged_compressed.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "adt/compression_stream.h"
#include "adt/exception.h"

namespace adt {

using namespace tagged;

// --- CompressedMemoryTaggedWriter ---

struct CompressedMemoryTaggedWriter::State {
  z_stream z{};
};

CompressedMemoryTaggedWriter::CompressedMemoryTaggedWriter() : state_(std::make_unique<State>()) {}

CompressedMemoryTaggedWriter::~CompressedMemoryTaggedWriter() {
  if (active_) deflateEnd(&state_->z);
}

void CompressedMemoryTaggedWriter::start() {
  consumed_ = 0;
  length_ = 0;
  if (capacity_ < kInitialCapacity) {
    out_.reset(new uint8_t[kInitialCapacity]);
    capacity_ = kInitialCapacity;
  }
  z_stream& z = state_->z;
  z = z_stream{};
  checkZlibResult(deflateInit2(&z, kDeflateLevel, Z_DEFLATED, kZlibWindowBits, kDeflateMemLevel,
                               Z_DEFAULT_STRATEGY));
  z.next_out = out_.get();
  z.avail_out = static_cast<uInt>(capacity_);
  active_ = true;
}

void CompressedMemoryTaggedWriter::grow() {
  z_stream& z = state_->z;
  const size_t used = capacity_ - z.avail_out;
  const size_t wanted = 2 * capacity_ + kInitialCapacity;
  std::unique_ptr<uint8_t[]> bigger(new uint8_t[wanted]);
  std::memcpy(bigger.get(), out_.get(), used);
  out_ = std::move(bigger);
  capacity_ = wanted;
  z.next_out = out_.get() + used;
  // avail_out is 32-bit; give deflate at most 1 GiB of the space at a time.
  z.avail_out = static_cast<uInt>(std::min<size_t>(wanted - used, 1u << 30));
}

void CompressedMemoryTaggedWriter::write(const void* data, size_t n) {
  if (n == 0) return;
  if (!active_) start();
  z_stream& z = state_->z;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n) {
    const uInt slice = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = slice;
    while (z.avail_in) {
      if (z.avail_out == 0) grow();
      checkZlibResult(deflate(&z, Z_NO_FLUSH));
    }
    consumed_ += slice;
    p += slice;
    n -= slice;
  }
}

void CompressedMemoryTaggedWriter::writeTo(uint8_t tag, TaggedWriter& out) {
  flush();
  if (!active_) start();  // nothing written: an empty stream
  z_stream& z = state_->z;
  z.next_in = nullptr;
  z.avail_in = 0;
  for (;;) {
    if (z.avail_out == 0) grow();
    const int rc = deflate(&z, Z_FINISH);
    if (rc == Z_STREAM_END) break;
    // Z_OK: the array is full and finishing goes on after growing it. There is always room
    // when deflate is called, so anything else is a failure.
    if (rc != Z_OK) throw IOException(zlibResultText(rc));
  }
  length_ = static_cast<size_t>(z.next_out - out_.get());
  deflateEnd(&z);
  active_ = false;
  out.writeTag(tag, out_.get(), length_);
}

// --- CompressedMemoryTaggedReader ---

struct CompressedMemoryTaggedReader::State {
  z_stream z{};
  bool initialised = false;
};

CompressedMemoryTaggedReader::CompressedMemoryTaggedReader(uint64_t maxInflated)
    : state_(std::make_unique<State>()), maxInflated_(maxInflated) {}

CompressedMemoryTaggedReader::~CompressedMemoryTaggedReader() {
  if (state_->initialised) inflateEnd(&state_->z);
}

void CompressedMemoryTaggedReader::readFrom(uint8_t tag, TaggedReader& in) {
  z_stream& z = state_->z;
  if (!state_->initialised) {
    checkZlibResult(inflateInit2(&z, kZlibWindowBits));
    state_->initialised = true;
  } else if (used_) {
    checkZlibResult(inflateReset(&z));
  }
  used_ = true;
  resetParser();
  ended_ = true;
  const uint8_t found = in.currentTag();
  if (found != tag) throwInvalidTag(tag, found);
  in.readBytes(input_);
  z.next_in = input_.data();
  z.avail_in = static_cast<uInt>(input_.size());
  ended_ = input_.empty();
}

size_t CompressedMemoryTaggedReader::inflateInto(uint8_t* dst, size_t n) {
  if (ended_ || n == 0) return 0;
  z_stream& z = state_->z;
  for (;;) {
    z.next_out = dst;
    z.avail_out = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    const uInt before = z.avail_out;
    int rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_NEED_DICT) rc = Z_DATA_ERROR;  // compressed values never use a dictionary
    checkZlibResult(rc);
    if (z.total_out > maxInflated_) {
      throw IOException("zlib data error: inflated size over the limit");
    }
    const size_t produced = before - z.avail_out;
    if (rc == Z_STREAM_END) ended_ = true;
    if (produced || ended_) return produced;
    // Only header bytes were taken; the next call either produces or reports the error.
  }
}

size_t CompressedMemoryTaggedReader::fill() {
  const size_t n = inflateInto(block_, sizeof block_);
  setBlock(block_, n);
  return n;
}

size_t CompressedMemoryTaggedReader::read(void* dst, size_t n) {
  return inflateInto(static_cast<uint8_t*>(dst), n);
}

}  // namespace adt
