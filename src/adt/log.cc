// The log writer: one line per message, appended synchronously from any thread. The main file
// is written by one thread at a time; others hand their lines over as pending text instead of
// waiting for its file I/O.
#include "adt/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "adt/danger_mutex.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/self.h"
#include "platform/thread.h"

namespace adt {
namespace {

constexpr int64_t kCategoryCap = 10485760;
constexpr int64_t kKeptTail = 1048576;
// Limits of the main log during a run: cut to its tail at the cap like the category files, so
// that a flood of lines cannot fill the disk.
std::atomic<int64_t> g_mainCap{kMainLogCap};
std::atomic<int64_t> g_mainKept{kMainLogKeptTail};
constexpr int64_t kEmptyAtStartAbove = 1073741824;
constexpr size_t kPendingLimit = 65536;
constexpr char kCutLine[] = "Log above is cutted\n";

std::atomic<LogSink> g_sink{nullptr};
std::atomic<bool> g_debug{false};
std::mutex g_baseMutex;
String g_base;
// Set by the first append of the process to any log file (that append writes the start line).
std::atomic<bool> g_startWritten{false};

// The locks live for the whole process (never destroyed: threads may log during exit).
DangerMutex& sysLogLock() {
  static DangerMutex* m = new DangerMutex("SysLog");
  return *m;
}
DangerMutex& stdWriterLock() {
  static DangerMutex* m = new DangerMutex("StdWriter");
  return *m;
}
DangerMutex& errLogLock() {
  static DangerMutex* m = new DangerMutex("ErrLog");
  return *m;
}

// Main-log hand-over state, guarded by "SysLog".
struct MainLog {
  bool busy = false;    // a thread is appending to the main file
  std::string pending;  // lines that arrived meanwhile
};
MainLog& mainLog() {
  static MainLog* m = new MainLog;
  return *m;
}

String timeAndIds() {
  const platform::LocalTime t = platform::systemClock().localNow();
  return format("%04d/%02d/%02d %02d:%02d:%02d:%03d [%lu,%u] ", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond,
                static_cast<unsigned long>(platform::currentProcessId()),
                platform::currentThreadId());
}

const char* levelText(int level) {
  switch (level) {
    case LOG_DBG:
      return "DBG";
    case LOG_INFO:
      return "INFO ";
    case LOG_WARN:
      return "WARN";
    case LOG_ERR:
      return "ERR";
    case LOG_DDL:
      return "DDL";
    case LOG_DANGER:
      return "DANGER";
    default:
      return "?";
  }
}

std::string buildLine(int level, const char* message) {
  std::string line = timeAndIds();
  line += levelText(level);
  line += ' ';
  line += message ? message : "";
  line += "\r\n";
  return line;
}

bool writeAll(platform::FileHandle h, const std::string& text) {
  return platform::writeFile(h, text.data(), text.size()) == static_cast<int64_t>(text.size());
}

struct FileCloser {
  platform::FileHandle h;
  ~FileCloser() { platform::closeFile(h); }
};

// Keeps the last `kept` bytes of a file that reached its cap, below the cut line.
bool cutToTail(platform::FileHandle h, int64_t size, int64_t kept) {
  if (kept > size) kept = size;
  std::string tail(static_cast<size_t>(kept), '\0');
  if (platform::seekFile(h, size - kept, platform::kSeekSet) < 0) return false;
  size_t got = 0;
  while (got < tail.size()) {
    const int64_t n = platform::readFile(h, tail.data() + got, tail.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  tail.resize(got);
  if (platform::seekFile(h, 0, platform::kSeekSet) < 0) return false;
  const std::string head(kCutLine);
  if (!writeAll(h, head) || !writeAll(h, tail)) return false;
  return platform::truncateFile(h, head.size() + tail.size());
}

// Appends `text` to the file at `path`; errors lose the text silently. The caller holds the
// lock that serialises this file.
void appendToFile(const std::string& path, const std::string& text, int64_t cap, int64_t kept,
                  bool main) {
  const platform::FileHandle h =
      platform::openFile(path, platform::kAccessReadWrite, platform::kOpenAlways);
  if (h == platform::kNoFile) return;
  FileCloser closer{h};
  const int64_t size = platform::fileSize(h);
  if (size < 0) return;
  // A file left huge by an earlier run is emptied below, not cut.
  const bool emptiedAtStart = size > kEmptyAtStartAbove && !g_startWritten.load();
  if (size >= cap && !emptiedAtStart && !cutToTail(h, size, kept)) return;
  const int64_t end = platform::seekFile(h, 0, platform::kSeekEnd);
  if (end < 0) return;
  if (!g_startWritten.exchange(true)) {
    // A main log left huge by earlier runs is started afresh.
    if (end > kEmptyAtStartAbove) {
      if (!platform::truncateFile(h, 0) || platform::seekFile(h, 0, platform::kSeekSet) < 0) {
        return;
      }
    }
    const std::string start =
        timeAndIds() + "Program start: " + toCp1251(platform::executablePath()) + " logtail: 0\r\n";
    if (!writeAll(h, start)) return;
    if (main) {
      const std::string limits =
          timeAndIds() + levelText(LOG_INFO) + " " +
          format("Main log: cut at %lld bytes to its last %lld bytes", 
                 static_cast<long long>(cap), static_cast<long long>(kept)) +
          "\r\n";
      if (!writeAll(h, limits)) return;
    }
  }
  writeAll(h, text);
}

void appendToMainFile(const std::string& base, const std::string& text) {
  DangerLock lock(stdWriterLock(), "InternalWriteToStdFile");
  appendToFile(base + ".log", text, g_mainCap.load(), g_mainKept.load(), true);
}

void appendToCategoryFile(const std::string& path, const std::string& line) {
  DangerLock lock(errLogLock(), "InternalWriteToErrFile");
  appendToFile(path, line, kCategoryCap, kKeptTail, false);
}

// Clears the busy mark even when the writer is unwound half-way.
struct BusyGuard {
  ~BusyGuard() {
    DangerLock lock(sysLogLock(), "SystemWriteLog done");
    mainLog().busy = false;
  }
};

void writeMainLog(const std::string& base, const std::string& line) {
  std::string text;
  {
    DangerLock lock(sysLogLock(), "SystemWriteLog");
    MainLog& m = mainLog();
    if (m.busy) {
      if (m.pending.size() > kPendingLimit) m.pending.clear();
      m.pending += line;
      return;
    }
    text.swap(m.pending);
    m.busy = true;
  }
  BusyGuard guard;
  text += line;
  // Keep writing until nothing is pending, so that no line is left behind in memory when the
  // other threads stop logging.
  for (;;) {
    appendToMainFile(base, text);
    text.clear();
    DangerLock lock(sysLogLock(), "SystemWriteLog pending");
    MainLog& m = mainLog();
    if (m.pending.empty()) break;
    text.swap(m.pending);
  }
}

const char* categorySuffix(int level) {
  switch (level) {
    case LOG_ERR:
      return ".err";
    case LOG_DDL:
      return ".ddl.log";
    case LOG_DANGER:
      return ".danger.log";
    default:
      return nullptr;
  }
}

}  // namespace

String clip(std::string_view text, size_t limit) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Count lead bytes only: continuation bytes (10xxxxxx) belong to the character before.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars == limit) return String(text.substr(0, i)) + "…";
    ++chars;
  }
  return String(text);
}

void setLogSink(LogSink sink) { g_sink.store(sink); }

void log(int level, const char* message) {
  try {
    if (LogSink sink = g_sink.load()) {
      sink(level, message);
    } else {
      SystemWriteLog(level, toCp1251(message ? message : "").c_str());
    }
  } catch (...) {
    platform::rethrowIfThreadCancellation();
  }
}

void SystemWriteLog(int level, const char* message) {
  platform::NoCancelScope noCancel;
  try {
    const std::string line = buildLine(level, message);
    const String base = logBase();
    if (base.empty()) {
      std::fwrite(line.data(), 1, line.size(), stderr);
      return;
    }
    if (const char* suffix = categorySuffix(level)) appendToCategoryFile(base + suffix, line);
    writeMainLog(base, line);
  } catch (...) {
  }
}

void writeToErrorLog(int level, const char* message) {
  platform::NoCancelScope noCancel;
  try {
    const std::string line = buildLine(level, message);
    const String base = logBase();
    if (base.empty()) {
      std::fwrite(line.data(), 1, line.size(), stderr);
      return;
    }
    appendToCategoryFile(base + ".err", line);
  } catch (...) {
  }
}

void resetLogStartForTesting() {
  {
    DangerLock lock(sysLogLock(), "resetLogStartForTesting");
    mainLog().pending.clear();
  }
  g_startWritten.store(false);
}

void setMainLogLimitsForTesting(int64_t cap, int64_t keptTail) {
  g_mainCap.store(cap);
  g_mainKept.store(keptTail);
}

void setLogBase(const String& base) {
  std::lock_guard<std::mutex> lock(g_baseMutex);
  g_base = base;
}

String logBase() {
  std::lock_guard<std::mutex> lock(g_baseMutex);
  return g_base;
}

bool debugEnabled() { return g_debug.load(std::memory_order_relaxed); }
void setDebugEnabled(bool on) { g_debug.store(on, std::memory_order_relaxed); }

}  // namespace adt
