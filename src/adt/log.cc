// Placeholder writer until the file log lands: keeps the interface usable for other modules.
#include "adt/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace adt {
namespace {
std::atomic<LogSink> g_sink{nullptr};
std::atomic<bool> g_debug{false};
std::mutex g_baseMutex;
String g_base;
}  // namespace

void setLogSink(LogSink sink) { g_sink.store(sink); }

void log(int level, const char* message) {
  try {
    if (LogSink sink = g_sink.load()) {
      sink(level, message);
    } else {
      SystemWriteLog(level, toCp1251(message).c_str());
    }
  } catch (...) {
  }
}

void SystemWriteLog(int level, const char* message) { std::fprintf(stderr, "%d %s\n", level, message); }

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
