// Logging: one leveled call, safe from any thread, never throws to its caller.
#pragma once
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "adt/text.h"

namespace adt {

constexpr int LOG_DBG = 0;
constexpr int LOG_INFO = 1;
constexpr int LOG_WARN = 2;
constexpr int LOG_ERR = 3;
constexpr int LOG_DDL = 4;
constexpr int LOG_DANGER = 5;

// Receives every message logged through log(); installed once at start-up by the server core.
using LogSink = void (*)(int level, const char* utf8Message);
void setLogSink(LogSink sink);

// The entry point every module uses. `message` is UTF-8.
void log(int level, const char* message);
inline void log(int level, const String& message) { log(level, message.c_str()); }

// Formats the line and appends it to the log files. `message` is already Windows-1251.
// Before a log base is set the line goes to standard error instead.
void SystemWriteLog(int level, const char* message);

// Formats the line and appends it to "<base>.err" only (capped like every category file),
// bypassing the main log: the lock reports use it so that a logging lock can report on itself.
// `message` is Windows-1251 (plain ASCII in practice). Never throws.
void writeToErrorLog(int level, const char* message);

// For tests: forgets that this process has already appended to a log file, so that the next
// append writes the start line again, and drops pending main-log text.
void resetLogStartForTesting();

// The main log "<base>.log" is cut when it reaches kMainLogCap bytes: the last
// kMainLogKeptTail bytes stay below the line "Log above is cutted" (the category files are cut
// the same way at 10 MiB to 1 MiB). The first line after a run's start line states both.
constexpr int64_t kMainLogCap = 104857600;
constexpr int64_t kMainLogKeptTail = 10485760;
// For tests: other main-log limits (the defaults above otherwise).
void setMainLogLimitsForTesting(int64_t cap, int64_t keptTail);

// Base path of the log files, without extension ("<base>.log", "<base>.err", ...).
void setLogBase(const String& base);
String logBase();

// Process-wide debug flag (--debug): enables the extra debug lines.
bool debugEnabled();
void setDebugEnabled(bool on);

// A text that came from outside (a client, an agent) cut for a log line: at most `limit`
// characters (UTF-8 sequences are never split), followed by "…" when something was cut, so
// that one peer cannot make one line arbitrarily long.
constexpr size_t kLoggedTextLimit = 256;
String clip(std::string_view text, size_t limit = kLoggedTextLimit);

// Statement-scoped line builder: collects pieces, logs once at the end of the statement.
//   LogLine(LOG_WARN) << "agent " << name << " is slow";
//   LogLine(LOG_DBG, debugEnabled()) << ...;   // only with --debug
class LogLine {
 public:
  explicit LogLine(int level, bool enabled = true) : level_(level), enabled_(enabled) {}
  ~LogLine() {
    if (enabled_) log(level_, text_.str());
  }
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  template <typename T>
  LogLine& operator<<(const T& piece) {
    if (enabled_) text_ << piece;
    return *this;
  }

 private:
  int level_;
  bool enabled_;
  std::ostringstream text_;
};

}  // namespace adt
