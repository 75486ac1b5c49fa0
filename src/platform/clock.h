// Time as the rest of AM sees it: a monotonic millisecond clock and local wall time.
// Everything above the platform reads time through Clock so tests can substitute a fake.
#pragma once
#include <cstdint>

namespace platform {

// Local wall-clock time, broken down. weekday: 1 = Monday ... 7 = Sunday.
struct LocalTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int weekday = 6;
};

// Source of "now". Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds since an arbitrary origin; never goes back.
  virtual uint64_t nowMs() = 0;
  // Current local time.
  virtual LocalTime localNow() = 0;
};

// The real clock of the machine (monotonic clock, local time zone).
Clock& systemClock();

// Local time as fractional days: integer part = days since 1899-12-30, fraction = time of day.
double toFractionalDays(const LocalTime& t);
LocalTime fromFractionalDays(double days);

// The local zone's offset from UTC in minutes (east positive) at the current moment.
int localUtcOffsetMinutes();

// Blocks the calling thread for ms milliseconds.
void sleepMs(uint32_t ms);

}  // namespace platform
