#include "config/schedule.h"

#include <gtest/gtest.h>

namespace config {
namespace {

// A local time with a consistent weekday. 2024-01-01 was a Monday.
platform::LocalTime at(int year, int month, int day, int hour, int minute, int second = 0,
                       int ms = 0) {
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.millisecond = ms;
  return platform::fromFractionalDays(platform::toFractionalDays(t));
}

// Day `weekday` (1 = Monday) of the first week of 2024.
platform::LocalTime weekAt(int weekday, int hour, int minute, int second = 0) {
  return at(2024, 1, weekday, hour, minute, second);
}

Schedule schedule(std::initializer_list<const char*> lines) {
  Schedule s;
  for (const char* line : lines) parseSched(line, s);
  return s;
}

bool due(const Schedule& s, const platform::LocalTime& now, double since = 0) {
  return findDueEntry(s, since, now) != nullptr;
}

SchedPoint point(std::initializer_list<std::pair<SchedUnit, int>> values,
                 std::initializer_list<std::pair<SchedUnit, int>> intervals = {}) {
  SchedPoint p;
  for (auto [unit, v] : values) p.value[unit] = v;
  for (auto [unit, i] : intervals) p.interval[unit] = i;
  return p;
}

TEST(SchedParse, Examples) {
  const Schedule s = schedule({"8h-18h30m", "1w9h15m-17h15m", "8h-*/15m", "*/30m-*/5m"});
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].start, point({{kUnitHour, 8}}));
  EXPECT_EQ(s[0].stop, point({{kUnitHour, 18}, {kUnitMinute, 30}}));
  EXPECT_EQ(s[1].start, point({{kUnitWeekday, 1}, {kUnitHour, 9}, {kUnitMinute, 15}}));
  EXPECT_EQ(s[1].stop, point({{kUnitHour, 17}, {kUnitMinute, 15}}));
  EXPECT_EQ(s[2].stop, point({}, {{kUnitMinute, 15}}));
  EXPECT_EQ(s[3].start, point({}, {{kUnitMinute, 30}}));
  EXPECT_EQ(s[3].text, "*/30m-*/5m");
}

TEST(SchedParse, WeekdaysCarriedIntervalsAndRejects) {
  const Schedule s = schedule({"0w1h-2h", "9w1h-2h", "*/15m8h-9h", "1M 2d 3h-4h"});
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].start.value[kUnitWeekday], 7);  // 0 is Sunday
  EXPECT_EQ(s[1].start.value[kUnitWeekday], -1);
  // The interval read once stays for the unit after it.
  EXPECT_EQ(s[2].start, point({{kUnitHour, 8}}, {{kUnitMinute, 15}, {kUnitHour, 15}}));
  EXPECT_EQ(s[3].start, point({{kUnitMonth, 1}, {kUnitDay, 2}, {kUnitHour, 3}}));

  Schedule none;
  EXPECT_FALSE(parseSched("830", none));
  EXPECT_FALSE(parseSched("", none));
  EXPECT_FALSE(parseSched("always", none));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(point({}, {{kUnitMonth, 1}, {kUnitMinute, 1}}).intervalMs(), 2629800000LL + 60000);
}

TEST(SchedDue, DayWindow) {
  const Schedule s = schedule({"8h-18h30m"});
  EXPECT_FALSE(due(s, at(2024, 3, 5, 7, 59, 59)));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 8, 0)));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 12, 0)));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 18, 29, 59)));
  EXPECT_FALSE(due(s, at(2024, 3, 5, 18, 30)));
  EXPECT_FALSE(due(s, at(2024, 3, 5, 23, 0)));
}

TEST(SchedDue, WeekdayList) {
  const Schedule s = schedule(
      {"1w9h15m-17h15m", "2w9h15m-17h15m", "3w9h15m-17h15m", "4w9h15m-17h15m", "5w9h15m-17h15m"});
  for (int day = 1; day <= 5; ++day) {
    const SchedEntry* entry = findDueEntry(s, 0, weekAt(day, 9, 15));
    ASSERT_NE(entry, nullptr) << day;
    EXPECT_EQ(entry->text, std::to_string(day) + "w9h15m-17h15m");
    EXPECT_TRUE(due(s, weekAt(day, 17, 14, 59))) << day;
    EXPECT_FALSE(due(s, weekAt(day, 9, 14, 59))) << day;
    EXPECT_FALSE(due(s, weekAt(day, 17, 15))) << day;
  }
  for (int day = 6; day <= 7; ++day) {
    for (int hour = 0; hour < 24; ++hour) EXPECT_FALSE(due(s, weekAt(day, hour, 30))) << day;
  }
}

TEST(SchedDue, OvernightWindowRunsUntilMidnight) {
  const Schedule s = schedule({"22h-6h"});
  EXPECT_FALSE(due(s, at(2024, 3, 5, 21, 59, 59)));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 22, 0)));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 23, 59, 59)));
  EXPECT_FALSE(due(s, at(2024, 3, 6, 0, 30)));  // the start is materialised on the new day
  EXPECT_FALSE(due(s, at(2024, 3, 6, 5, 59)));
}

TEST(SchedDue, IntervalStopLastsTheHourOfTheStart) {
  const Schedule s = schedule({"8h-*/15m", "9h-*/15m"});
  EXPECT_FALSE(due(s, at(2024, 3, 5, 7, 59)));
  EXPECT_EQ(findDueEntry(s, 0, at(2024, 3, 5, 8, 0))->text, "8h-*/15m");
  EXPECT_EQ(findDueEntry(s, 0, at(2024, 3, 5, 8, 59, 59))->text, "8h-*/15m");
  EXPECT_EQ(findDueEntry(s, 0, at(2024, 3, 5, 9, 40))->text, "9h-*/15m");
  EXPECT_FALSE(due(s, at(2024, 3, 5, 10, 0)));
}

TEST(SchedDue, IntervalsCountFromSince) {
  const Schedule s = schedule({"*/30m-*/5m"});
  const platform::LocalTime stop = at(2024, 3, 5, 10, 7, 12);
  const double since = platform::toFractionalDays(stop);
  EXPECT_FALSE(due(s, stop, since));
  EXPECT_FALSE(due(s, at(2024, 3, 5, 10, 37, 11, 999), since));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 10, 37, 12), since));
  EXPECT_TRUE(due(s, at(2024, 3, 5, 10, 42, 11, 999), since));
  EXPECT_FALSE(due(s, at(2024, 3, 5, 10, 42, 12), since));
  EXPECT_FALSE(due(s, at(2024, 3, 5, 9, 0), since));  // before the stop
}

TEST(SchedDue, WindowAcrossWeekdaysIsNeverDue) {
  const Schedule s = schedule({"1w0h-6w12h", "6w13h-1w0h"});
  for (int day = 1; day <= 7; ++day) {
    for (int hour = 0; hour < 24; hour += 3) EXPECT_FALSE(due(s, weekAt(day, hour, 10)));
  }
}

TEST(SchedDue, DayAndMonthValuesAreClamped) {
  const Schedule s = schedule({"31d0h-31d23h"});
  EXPECT_TRUE(due(s, at(2024, 2, 29, 12, 0)));  // leap February ends on the 29th
  EXPECT_TRUE(due(s, at(2023, 2, 28, 12, 0)));
  EXPECT_FALSE(due(s, at(2024, 2, 28, 12, 0)));  // the 29th has not come yet
  const Schedule month = schedule({"13M1d0h-13M2d0h"});
  EXPECT_TRUE(due(month, at(2024, 12, 1, 5, 0)));
  EXPECT_FALSE(due(month, at(2024, 12, 2, 5, 0)));
}

TEST(RestartTimeParse, Forms) {
  RestartTimes r;
  r.parse("3:00;15:30");
  EXPECT_EQ(r.times(), (std::vector<int64_t>{10800000, 55800000}));
  r.parse("7");
  EXPECT_EQ(r.times(), (std::vector<int64_t>{25200000}));
  r.parse("3:00, 3:00;3");
  EXPECT_EQ(r.times(), (std::vector<int64_t>{10800000}));
  r.parse(":30");
  EXPECT_EQ(r.times(), (std::vector<int64_t>{1800000}));
  r.parse("12 30 1:2:3");
  EXPECT_EQ(r.times(), (std::vector<int64_t>{45000000, 3720000, 10800000}));
  r.parse("never");
  EXPECT_TRUE(r.empty());
  r.parse("3:00;15:30;0:05");
  EXPECT_EQ(r.text(), "03:00;15:30;00:05");
}

// One supervision pass at `now` in which restarts apply.
std::optional<RestartRequest> pass(RestartTimes& r, const platform::LocalTime& now) {
  r.beginPass();
  r.keepArmed(now);
  auto request = r.checkRestart(now);
  r.endPass();
  return request;
}

TEST(RestartTimeCheck, FiresOnceAfterTheTimePasses) {
  RestartTimes r;
  r.parse("12:00");
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 10, 0)));
  EXPECT_TRUE(r.armed());
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 11, 59, 59)));
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 12, 0)));  // the moment itself is not yet past
  const auto request = pass(r, at(2024, 3, 5, 12, 0, 1));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->reason, "перезапуск по расписанию в 12:00");
  EXPECT_EQ(request->timeoutMs, 300000u);
  EXPECT_EQ(request->graceMs, 280000u);
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 12, 0, 2)));
  // No daily renewal while the state stays armed.
  EXPECT_FALSE(pass(r, at(2024, 3, 6, 11, 0)));
  EXPECT_FALSE(pass(r, at(2024, 3, 6, 12, 30)));
}

TEST(RestartTimeCheck, DisarmingTakesANewBase) {
  RestartTimes r;
  r.parse("12:00");
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 13, 0)));  // armed after the time: not today
  r.beginPass();
  r.endPass();  // a pass without keepArmed (the agent was stopped) disarms
  EXPECT_FALSE(r.armed());
  EXPECT_FALSE(r.checkRestart(at(2024, 3, 6, 12, 30)));  // disarmed: no check
  EXPECT_FALSE(pass(r, at(2024, 3, 6, 11, 0)));
  EXPECT_TRUE(pass(r, at(2024, 3, 6, 12, 1)));
}

TEST(RestartTimeCheck, OneRestartPerCheckAndEmptyListNeverArms) {
  RestartTimes r;
  r.parse("12:00;12:01");
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 11, 0)));
  const auto first = pass(r, at(2024, 3, 5, 12, 5));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->reason, "перезапуск по расписанию в 12:00");
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 12, 6)));

  r.parse("");
  EXPECT_FALSE(r.armed());
  EXPECT_FALSE(pass(r, at(2024, 3, 5, 13, 0)));
  EXPECT_FALSE(r.armed());
}

TEST(LocalTimeScale, MillisecondsMatchFractionalDays) {
  const platform::LocalTime t = at(2024, 3, 5, 13, 45, 10, 250);
  EXPECT_EQ(localMs(t), daysToMs(platform::toFractionalDays(t)));
  EXPECT_EQ(localMs(at(1899, 12, 31, 0, 0)), 86400000);
}

}  // namespace
}  // namespace config
