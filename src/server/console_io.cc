#include "server/console_io.h"

#include <cstdio>
#include <mutex>

#include "adt/log.h"

namespace server {
namespace {
std::mutex g_consoleMutex;
}  // namespace

void consoleWrite(const adt::String& text) {
  std::lock_guard<std::mutex> lock(g_consoleMutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

ConsoleCounters& consoleCounters() {
  static ConsoleCounters counters;
  return counters;
}

void consoleLogSink(int level, const char* utf8Message) {
  adt::SystemWriteLog(level, adt::toCp1251(utf8Message).c_str());
  const ConsoleCounters& c = consoleCounters();
  if (c.quietConsole.load() == 0 && (c.inMain.load() != 0 || level >= adt::LOG_WARN)) {
    consoleWrite(utf8Message);
  }
}

}  // namespace server
