// Call-stack capture. Capturing is cheap (raw return addresses); turning the frames into text
// is done only when a stack is written out.
#pragma once
#include <string>
#include <vector>

namespace platform {

struct StackTrace {
  static constexpr int kMaxFrames = 48;
  void* frames[kMaxFrames] = {};
  int count = 0;
};

// Captures the calling thread's stack, leaving out the innermost `skip` frames.
StackTrace captureStack(int skip = 1);

// One text line per frame: "module(function+0xoff) [0xaddress]" with demangled names.
std::vector<std::string> symbolize(const StackTrace& trace);

}  // namespace platform
