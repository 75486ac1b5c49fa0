#include "platform/clock.h"

#include <time.h>

namespace platform {
namespace {

class PosixClock final : public Clock {
 public:
  uint64_t nowMs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }

  LocalTime localNow() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // Every agent asks for the local time in every supervision pass: the conversion by the time
    // zone's rules is made once a second (per thread), the milliseconds every time.
    thread_local bool converted = false;
    thread_local time_t convertedSecond = 0;
    thread_local tm parts{};
    if (!converted || ts.tv_sec != convertedSecond) {
      localtime_r(&ts.tv_sec, &parts);
      convertedSecond = ts.tv_sec;
      converted = true;
    }
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    t.weekday = parts.tm_wday == 0 ? 7 : parts.tm_wday;
    return t;
  }
};

}  // namespace

int localUtcOffsetMinutes() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  return static_cast<int>(parts.tm_gmtoff / 60);
}

Clock& systemClock() {
  static PosixClock clock;
  return clock;
}

void sleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace platform
