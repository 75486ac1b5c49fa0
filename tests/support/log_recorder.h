// Test support: records what the code under test logs instead of writing it to the log files.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// Installs itself as the log sink (adt::setLogSink) for its lifetime and records every line
// logged meanwhile as (level, text). Lines may come from any thread; every method may be called
// from any thread. Recorders nest: the newest one records, and when it goes the one before it
// records again; when the last one goes no sink is left (tests start without one).
// Create and destroy recorders on one thread, in reverse order.
class LogRecorder {
 public:
  // Matches a line of every level.
  static constexpr int kAnyLevel = -1;

  struct Line {
    int level;
    std::string text;
    bool operator==(const Line&) const = default;
  };

  LogRecorder();
  ~LogRecorder();
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;

  // Everything recorded so far, oldest first.
  std::vector<Line> lines() const;
  // The texts of the lines of `level` (or of any level) that begin with `prefix`, oldest first.
  std::vector<std::string> texts(int level = kAnyLevel, const std::string& prefix = "") const;
  // How many lines of `level` (or of any level) contain `part`.
  size_t count(const std::string& part, int level = kAnyLevel) const;
  bool contains(const std::string& part, int level = kAnyLevel) const {
    return count(part, level) > 0;
  }
  void clear();

 private:
  static void sink(int level, const char* message);

  LogRecorder* previous_;
  std::vector<Line> lines_;  // guarded by the class-wide mutex
};

}  // namespace testsupport
