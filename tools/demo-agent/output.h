// The demo agent's console output: plain time-stamped lines on standard output or, in
// named-pipe mode, in the FIFO the manager created for it. Lines go out in Windows-1251, which
// is how the manager reads agent output. Single-threaded.
#pragma once
#include <cstddef>

#include "adt/text.h"
#include "platform/file.h"

namespace demo {

class Output {
 public:
  // Lines longer than this are cut, so that each goes into a pipe in one piece.
  static constexpr size_t kMaxLine = 4000;

  Output() = default;
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Writes to the FIFO <pipe root>/<name> from now on. False, with `error` set and the output
  // left on standard output, when it cannot be opened (no such FIFO, nobody reading it).
  bool openPipe(const adt::String& name, adt::String& error);
  bool usesPipe() const { return pipe_ != platform::kNoFile; }

  // "<hh:mm:ss.mmm> <text>". A full pipe drops the line rather than stalling the agent: the
  // manager reads agent output only once the agent has ended.
  void line(const adt::String& text);
  size_t droppedLines() const { return dropped_; }

 private:
  platform::FileHandle pipe_ = platform::kNoFile;
  size_t dropped_ = 0;
};

}  // namespace demo
