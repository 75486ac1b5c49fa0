#include "output.h"

#include "platform/agent_env.h"
#include "platform/pipe.h"
#include "platform/clock.h"
#include "platform/error.h"

namespace demo {

Output::~Output() {
  if (pipe_ != platform::kNoFile) platform::closeFile(pipe_);
}

bool Output::openPipe(const adt::String& name, adt::String& error) {
  const std::string path = platform::defaultPipeRoot() + "/" + name;
  const platform::FileHandle h = platform::openPipeWriterNoWait(path);
  if (h == platform::kNoFile) {
    const int code = platform::lastError();
    error = adt::format("cannot open the output pipe %s: %s", path.c_str(),
                        platform::systemErrorText(code).c_str());
    return false;
  }
  if (pipe_ != platform::kNoFile) platform::closeFile(pipe_);
  pipe_ = h;
  return true;
}

void Output::line(const adt::String& text) {
  const platform::LocalTime t = platform::systemClock().localNow();
  std::string out = adt::format("%02d:%02d:%02d.%03d ", t.hour, t.minute, t.second, t.millisecond);
  out += adt::toCp1251(text);
  if (out.size() > kMaxLine) out.resize(kMaxLine);
  out += '\n';
  if (pipe_ != platform::kNoFile) {
    if (platform::writePipeNoWait(pipe_, out.data(), out.size()) != static_cast<int64_t>(out.size())) {
      ++dropped_;
    }
  } else if (platform::writeFile(platform::standardOutput(), out.data(), out.size()) < 0) {
    ++dropped_;
  }
}

}  // namespace demo
