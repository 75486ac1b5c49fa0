// The performance log "<log base>.perf.log": warnings about how an agent spends its time, kept
// apart from the main log for the people who tune the agents. Any thread.
#pragma once
#include "adt/text.h"
#include "platform/clock.h"

namespace agents {

// Appends "<date> <time> <text>\r\n" (Windows-1251) to "<base>.perf.log". Nothing happens when
// `base` is empty; a file that cannot be written loses the line (logged at error level).
void appendPerformanceLog(const adt::String& base, const platform::LocalTime& when,
                          const adt::String& text);

}  // namespace agents
