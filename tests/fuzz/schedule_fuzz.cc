// `sched` and `restart_time` values, as the settings parser hands them over (one line), parsed
// and then evaluated through a day of supervision passes.
#include <climits>
#include <cstdint>
#include <string>

#include "config/schedule.h"
#include "config/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // The moments of evaluation come from the end of the input, the value from the rest.
  const double since = input.ConsumeIntegralInRange<int32_t>(0, 80000) +
                       input.ConsumeIntegralInRange<int32_t>(0, 86399) / 86400.0;
  const double start = input.ConsumeIntegralInRange<int32_t>(1, 80000);
  const std::string value = input.ConsumeRemainingBytesAsString();
  if (value.size() > config::kMaxLineChars) return 0;  // a settings line holds no more

  config::Schedule schedule;
  const bool added = config::parseSched(value, schedule);
  if (added != (schedule.size() == 1)) fuzz::broken("parseSched's answer and its result differ");
  for (const config::SchedEntry& entry : schedule) {
    entry.start.intervalMs();
    entry.stop.intervalMs();
  }
  size_t pos = 0;
  config::parsePoint(value, pos);
  if (pos > value.size()) fuzz::broken("parsePoint went past the text");

  config::RestartTimes times;
  times.parse(value);
  // The list as text reads back as the same list, as long as its hours (minutes carried
  // over) are still a number the reader takes: numbers saturate at 2^31 - 1.
  bool readable = true;
  for (int64_t t : times.times()) readable = readable && t / 3600000 <= INT32_MAX;
  config::RestartTimes again;
  again.parse(times.text());
  if (readable && again.times() != times.times()) fuzz::broken("restart times do not read back");

  // Two days of passes, one every 7 minutes.
  for (int step = 0; step < 2 * 24 * 60 / 7; ++step) {
    const platform::LocalTime now = platform::fromFractionalDays(start + step * 7 / 1440.0);
    config::findDueEntry(schedule, since, now);
    times.beginPass();
    times.keepArmed(now);
    times.checkRestart(now);
    times.endPass();
  }
  return 0;
}
