#include "platform/clock.h"

#include "platform/windows/win.h"

namespace platform {

LocalTime win::fromSystemTime(const SYSTEMTIME& s) {
  LocalTime t;
  t.year = s.wYear;
  t.month = s.wMonth;
  t.day = s.wDay;
  t.hour = s.wHour;
  t.minute = s.wMinute;
  t.second = s.wSecond;
  t.millisecond = s.wMilliseconds;
  t.weekday = s.wDayOfWeek == 0 ? 7 : s.wDayOfWeek;
  return t;
}

namespace {

class WindowsClock final : public Clock {
 public:
  uint64_t nowMs() override { return GetTickCount64(); }

  LocalTime localNow() override {
    SYSTEMTIME s;
    GetLocalTime(&s);
    return win::fromSystemTime(s);
  }
};

}  // namespace

int localUtcOffsetMinutes() {
  TIME_ZONE_INFORMATION zone;
  const DWORD which = GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return static_cast<int>(-bias);
}

Clock& systemClock() {
  static WindowsClock clock;
  return clock;
}

void sleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace platform
