#include "log_recorder.h"

#include <mutex>

#include "adt/log.h"

namespace testsupport {

namespace {
// One mutex for the active recorder and every recorder's lines: the sink is a plain function,
// so it finds its recorder through `g_active`, and a recorder must not go while the sink
// writes into it.
std::mutex g_mutex;
LogRecorder* g_active = nullptr;
}  // namespace

LogRecorder::LogRecorder() {
  std::lock_guard<std::mutex> lock(g_mutex);
  previous_ = g_active;
  g_active = this;
  adt::setLogSink(&LogRecorder::sink);
}

LogRecorder::~LogRecorder() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_active = previous_;
  if (!g_active) adt::setLogSink(nullptr);
}

void LogRecorder::sink(int level, const char* message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_active) g_active->lines_.push_back({level, message ? message : ""});
}

std::vector<LogRecorder::Line> LogRecorder::lines() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return lines_;
}

std::vector<std::string> LogRecorder::texts(int level, const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<std::string> out;
  for (const Line& line : lines_) {
    if ((level == kAnyLevel || line.level == level) && line.text.rfind(prefix, 0) == 0) {
      out.push_back(line.text);
    }
  }
  return out;
}

size_t LogRecorder::count(const std::string& part, int level) const {
  std::lock_guard<std::mutex> lock(g_mutex);
  size_t n = 0;
  for (const Line& line : lines_) {
    if ((level == kAnyLevel || line.level == level) && line.text.find(part) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

void LogRecorder::clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  lines_.clear();
}

}  // namespace testsupport
