#include "adt/compression_stream.h"

#include <zlib.h>

#include "adt/exception.h"
#include "adt/tagged_format.h"

namespace adt {

const char* zlibResultText(int result) {
  switch (result) {
    case Z_ERRNO:
      return "zlib errno";
    case Z_STREAM_ERROR:
      return "zlib invalid stream state";
    case Z_DATA_ERROR:
      return "zlib data error";
    case Z_MEM_ERROR:
      return "zlib out of memory";
    case Z_BUF_ERROR:
      return "zlib buffer error";
    case Z_VERSION_ERROR:
      return "zlib wrong version";
    default:
      return "Unknown zlib error";
  }
}

void checkZlibResult(int result) {
  if (result < 0) throw IOException(zlibResultText(result));
}

struct CompressionStream::State {
  z_stream z{};
  uint8_t out[kOutputArea];
};

CompressionStream::CompressionStream(OutputStream& inner)
    : inner_(inner), state_(std::make_unique<State>()) {
  if (deflateInit2(&state_->z, tagged::kDeflateLevel, Z_DEFLATED, tagged::kRawWindowBits,
                   tagged::kDeflateMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw Exception("Couldn't initialize deflation");
  }
}

CompressionStream::~CompressionStream() { deflateEnd(&state_->z); }

void CompressionStream::deflatePasses(int mode) {
  z_stream& z = state_->z;
  for (;;) {
    // Every pass starts with the whole area free.
    z.next_out = state_->out;
    z.avail_out = kOutputArea;
    const int rc = deflate(&z, mode);
    // Z_BUF_ERROR only says that this pass could make no progress.
    if (rc != Z_BUF_ERROR) checkZlibResult(rc);
    const size_t produced = kOutputArea - z.avail_out;
    if (produced) inner_.write(state_->out, produced);
    if (mode == Z_FINISH) {
      if (rc == Z_STREAM_END) return;
      if (rc == Z_BUF_ERROR && produced == 0) throw IOException(zlibResultText(rc));
    } else if (z.avail_in == 0 && z.avail_out >= 6) {
      return;  // input taken and deflate had room to spare: nothing is held back
    }
  }
}

void CompressionStream::write(const void* data, size_t n) {
  if (finished_) throw IOException(zlibResultText(Z_STREAM_ERROR));
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n) {
    // avail_in is 32-bit; feed larger writes in slices.
    const uInt slice = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
    state_->z.next_in = const_cast<Bytef*>(p);
    state_->z.avail_in = slice;
    deflatePasses(Z_NO_FLUSH);
    p += slice;
    n -= slice;
  }
}

void CompressionStream::flush() {
  if (!finished_) {
    state_->z.next_in = nullptr;
    state_->z.avail_in = 0;
    deflatePasses(Z_FINISH);
    finished_ = true;
  }
  inner_.flush();
}

}  // namespace adt
