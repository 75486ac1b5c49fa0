// The system clock's local time, against the C library's own conversion, across seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/clock.h"

namespace {

// Asked again and again for a little over two seconds, the local time always names the second
// the C library names right after it (unless that moved on in between), field for field: the
// conversion kept from one call to the next follows the seconds.
TEST(SystemClock, LocalTimeFollowsTheSecondsFieldForField) {
  platform::Clock& clock = platform::systemClock();
  int secondsSeen = 0;
  int lastSecond = -1;
  int compared = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (secondsSeen < 3 && std::chrono::steady_clock::now() < deadline) {
    const platform::LocalTime t = clock.localNow();
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    if (parts.tm_sec != t.second) continue;  // the second turned in between
    ++compared;
    ASSERT_EQ(t.year, parts.tm_year + 1900);
    ASSERT_EQ(t.month, parts.tm_mon + 1);
    ASSERT_EQ(t.day, parts.tm_mday);
    ASSERT_EQ(t.hour, parts.tm_hour);
    ASSERT_EQ(t.minute, parts.tm_min);
    ASSERT_EQ(t.weekday, parts.tm_wday == 0 ? 7 : parts.tm_wday);
    ASSERT_GE(t.millisecond, 0);
    ASSERT_LT(t.millisecond, 1000);
    if (t.second != lastSecond) {
      ++secondsSeen;
      lastSecond = t.second;
    }
  }
  EXPECT_EQ(secondsSeen, 3);
  EXPECT_GT(compared, 3);
}

}  // namespace
