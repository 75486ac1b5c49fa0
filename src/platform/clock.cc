#include "platform/clock.h"

#include <cmath>

namespace platform {
namespace {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

// 1899-12-30 relative to 1970-01-01.
constexpr int64_t kEpochOffset = -25569;

}  // namespace

double toFractionalDays(const LocalTime& t) {
  const int64_t days = daysFromCivil(t.year, t.month, t.day) - kEpochOffset;
  const double ms = ((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond;
  return static_cast<double>(days) + ms / 86400000.0;
}

LocalTime fromFractionalDays(double value) {
  LocalTime t;
  int64_t totalMs = static_cast<int64_t>(std::llround(value * 86400000.0));
  int64_t days = totalMs / 86400000;
  int64_t ms = totalMs % 86400000;
  if (ms < 0) {
    ms += 86400000;
    --days;
  }
  civilFromDays(days + kEpochOffset, t.year, t.month, t.day);
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  // 1970-01-01 was a Thursday (4).
  const int64_t unixDays = days + kEpochOffset;
  t.weekday = static_cast<int>(((unixDays % 7) + 7 + 3) % 7) + 1;
  return t;
}

}  // namespace platform
