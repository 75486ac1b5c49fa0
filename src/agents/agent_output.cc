#include "agents/agent_output.h"

#include "adt/log.h"
#include "adt/text.h"
#include "platform/error.h"

namespace agents {

namespace {

constexpr char kCutLine[] = "Log above is cutted\n";

}  // namespace

std::string agentFileComponent(const std::string& id, const std::string& name) {
  if (id.empty()) return "nh-" + std::to_string(adt::crc64we(name));
  // An id holding "/" or made of dots must not lead the file out of its directory.
  std::string out = id;
  for (char& c : out) {
    if (c == '/') c = '_';
  }
  if (out.find_first_not_of('.') == std::string::npos) out.assign(out.size(), '_');
  return out;
}

AgentOutput::AgentOutput(std::string filePath, OutputLimits limits)
    : path_(std::move(filePath)), limits_(limits) {
  fileFailed_ = path_.empty();
}

AgentOutput::~AgentOutput() {
  if (file_ != platform::kNoFile) platform::closeFile(file_);
}

bool AgentOutput::openFile() {
  file_ = platform::openFile(path_, platform::kAccessReadWrite, platform::kOpenAlways);
  int64_t size = file_ == platform::kNoFile ? -1 : platform::fileSize(file_);
  if (size >= 0) size = platform::seekFile(file_, 0, platform::kSeekEnd);
  if (size < 0) {
    giveUpFile();
    return false;
  }
  fileSize_ = static_cast<uint64_t>(size);
  return true;
}

void AgentOutput::cutFile() {
  const uint64_t kept = fileSize_ < limits_.fileKept ? fileSize_ : limits_.fileKept;
  std::string tail(static_cast<size_t>(kept), '\0');
  size_t got = 0;
  if (platform::seekFile(file_, static_cast<int64_t>(fileSize_ - kept), platform::kSeekSet) >= 0) {
    while (got < tail.size()) {
      const int64_t n = platform::readFile(file_, tail.data() + got, tail.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  tail.resize(got);
  const std::string head(kCutLine);
  bool ok = platform::seekFile(file_, 0, platform::kSeekSet) == 0 &&
            platform::writeFile(file_, head.data(), head.size()) >= 0 &&
            platform::writeFile(file_, tail.data(), tail.size()) >= 0 &&
            platform::truncateFile(file_, head.size() + tail.size());
  if (!ok) {
    giveUpFile();
    return;
  }
  fileSize_ = head.size() + tail.size();
}

void AgentOutput::giveUpFile() {
  // The last error tells why; the memory tail goes on, the file is not tried again.
  adt::log(adt::LOG_ERR,
           "agent output '" + path_ + "': " + platform::systemErrorText(platform::lastError()));
  if (file_ != platform::kNoFile) platform::closeFile(file_);
  file_ = platform::kNoFile;
  fileFailed_ = true;
}

void AgentOutput::append(const std::string& bytes) {
  if (bytes.empty()) return;
  if (bytes.size() >= limits_.tail) {
    tail_.assign(bytes, bytes.size() - limits_.tail, limits_.tail);
  } else {
    if (tail_.size() + bytes.size() > limits_.tail) {
      tail_.erase(0, tail_.size() + bytes.size() - limits_.tail);
    }
    tail_ += bytes;
  }

  if (fileFailed_) return;
  if (file_ == platform::kNoFile && !openFile()) return;
  if (fileSize_ >= limits_.fileCap) cutFile();
  if (file_ == platform::kNoFile) return;
  if (platform::writeFile(file_, bytes.data(), bytes.size()) < 0) {
    giveUpFile();
    return;
  }
  fileSize_ += bytes.size();
}

std::string AgentOutput::takeTail() {
  std::string out;
  out.swap(tail_);
  return out;
}

}  // namespace agents
