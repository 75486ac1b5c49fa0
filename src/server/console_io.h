// The process's console: output lines and the log echo. Text is UTF-8 inside; the console
// here is a UTF-8 terminal, so lines go out as they are.
#pragma once
#include <atomic>

#include "adt/text.h"

namespace server {

// Writes `text` and one newline to standard output, flushed.
void consoleWrite(const adt::String& text);

// Counters that steer the log echo: while quietConsole is non-zero nothing is echoed; while
// inMain is non-zero every level is echoed, otherwise only WARN and higher.
struct ConsoleCounters {
  std::atomic<int> inMain{0};
  std::atomic<int> quietConsole{0};
};
ConsoleCounters& consoleCounters();

// The log sink main installs: writes the line to the log files (Windows-1251) and echoes the
// message to the console as the counters allow.
void consoleLogSink(int level, const char* utf8Message);

}  // namespace server
