// Raw deflate over another output stream, and the zlib result texts shared by everything in
// the runtime that deflates or inflates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adt/stream.h"
#include "adt/text.h"

namespace adt {

// "zlib data error", ... for a negative zlib result; "Unknown zlib error" for any other value.
const char* zlibResultText(int result);
// Throws IOException with zlibResultText(result) when result is negative.
void checkZlibResult(int result);

// Deflates (raw RFC 1951 stream: window bits -15, level 6, memory level 8) everything written
// into the inner stream, which is not owned and must outlive this one. flush() finishes the
// deflate stream and then flushes the inner stream; after that nothing more may be written.
// Destroying an unfinished stream drops what deflate still holds. Single-threaded.
class CompressionStream : public OutputStream {
 public:
  // Throws Exception "Couldn't initialize deflation" when deflate cannot start.
  explicit CompressionStream(OutputStream& inner);
  CompressionStream(const CompressionStream&) = delete;
  CompressionStream& operator=(const CompressionStream&) = delete;
  ~CompressionStream() override;

  void write(const void* data, size_t n) override;
  void flush() override;

  static constexpr size_t kOutputArea = 1000;

 private:
  // Runs deflate passes with `mode` until the input is taken and (for finishing) the end of
  // the stream is reached, handing every pass's output to the inner stream.
  void deflatePasses(int mode);

  struct State;
  OutputStream& inner_;
  std::unique_ptr<State> state_;
  bool finished_ = false;
};

}  // namespace adt
