#include "config/schedule.h"

#include <climits>
#include <cmath>

namespace config {
namespace {

constexpr int64_t kDayMs = 86400000;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a run of digits at `pos`, saturating at INT32_MAX.
int32_t readNumber(std::string_view text, size_t& pos) {
  int64_t n = 0;
  while (pos < text.size() && isDigit(text[pos])) {
    n = n * 10 + (text[pos] - '0');
    if (n > INT32_MAX) n = INT32_MAX;
    ++pos;
  }
  return static_cast<int32_t>(n);
}

int unitOf(char c) {
  switch (c) {
    case 'm':
      return kUnitMinute;
    case 'h':
      return kUnitHour;
    case 'd':
      return kUnitDay;
    case 'M':
      return kUnitMonth;
    case 'w':
      return kUnitWeekday;
    default:
      return -1;
  }
}

int32_t normaliseWeekday(int32_t w) {
  if (w == 0) return 7;
  return w < 0 || w > 7 ? -1 : w;
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// 1 = Monday ... 7 = Sunday; day 0 (1899-12-30) was a Saturday.
int weekdayOfMs(int64_t ms) {
  const int64_t days = floorDiv(ms, kDayMs);
  return static_cast<int>(((days % 7) + 7 + 5) % 7) + 1;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int monthLength(int year, int month) {
  static const int kLength[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kLength[month - 1];
}

// The point placed on the day of `now`: its minute, hour, day and month where given, the rest
// (seconds and milliseconds included) from `now`.
int64_t materialise(const SchedPoint& p, const platform::LocalTime& now) {
  platform::LocalTime t = now;
  if (p.value[kUnitMinute] >= 0) t.minute = p.value[kUnitMinute];
  if (p.value[kUnitHour] >= 0) t.hour = p.value[kUnitHour];
  if (p.value[kUnitDay] >= 0) t.day = p.value[kUnitDay];
  if (p.value[kUnitMonth] >= 0) t.month = p.value[kUnitMonth];
  t.month = t.month < 1 ? 1 : t.month > 12 ? 12 : t.month;
  const int last = monthLength(t.year, t.month);
  t.day = t.day < 1 ? 1 : t.day > last ? last : t.day;
  return localMs(t);
}

// True when the entry is due at `now` (both in ms on the local scale).
bool isDue(const SchedEntry& entry, int64_t since, const platform::LocalTime& nowTime,
           int64_t now) {
  int64_t ref = since;
  const SchedPoint& start = entry.start;
  if (start.hasValues()) {
    const int64_t s = materialise(start, nowTime);
    if (s > now) return false;
    ref = s;
    if (start.value[kUnitWeekday] >= 0 && weekdayOfMs(s) != start.value[kUnitWeekday]) {
      return false;
    }
  } else if (start.hasIntervals()) {
    const int64_t length = start.intervalMs();
    if (now - ref < 0 || now - ref < length) return false;
    ref += length;
  } else {
    return false;
  }

  const SchedPoint& stop = entry.stop;
  if (stop.hasValues()) {
    int64_t e = materialise(stop, nowTime);
    // A stop earlier than the start on the same day closes the window tomorrow.
    if (e < ref && stop.value[kUnitMonth] < 0 && stop.value[kUnitDay] < 0) e += kDayMs;
    if (e <= now) return false;
    return stop.value[kUnitWeekday] < 0 || weekdayOfMs(e) == stop.value[kUnitWeekday];
  }
  if (stop.hasIntervals()) {
    const int64_t length = stop.intervalMs();
    return now - ref >= 0 && now - ref < length;
  }
  return false;
}

}  // namespace

bool SchedPoint::hasValues() const {
  for (int32_t v : value) {
    if (v >= 0) return true;
  }
  return false;
}

bool SchedPoint::hasIntervals() const {
  for (int32_t i : interval) {
    if (i >= 0) return true;
  }
  return false;
}

int64_t SchedPoint::intervalMs() const {
  int64_t ms = 0;
  if (interval[kUnitMinute] >= 0) ms += int64_t{interval[kUnitMinute]} * 60000;
  if (interval[kUnitHour] >= 0) ms += int64_t{interval[kUnitHour]} * 3600000;
  if (interval[kUnitDay] >= 0) ms += int64_t{interval[kUnitDay]} * kDayMs;
  // A month counts as 30.4375 days: 2629800000 ms.
  if (interval[kUnitMonth] >= 0) ms += int64_t{interval[kUnitMonth]} * 2629800000LL;
  return ms;
}

SchedPoint parsePoint(std::string_view text, size_t& pos) {
  SchedPoint p;
  while (pos < text.size() && text[pos] != '*' && text[pos] != '/' && !isDigit(text[pos])) ++pos;
  int32_t v = -1, i = -1;
  int32_t* target = &v;
  while (true) {
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    if (pos >= text.size()) break;
    const char c = text[pos];
    if (c == '*') {
      *target = -1;
      ++pos;
    } else if (c == '/') {
      target = &i;
      ++pos;
    } else if (isDigit(c)) {
      *target = readNumber(text, pos);
    } else if (const int unit = unitOf(c); unit >= 0) {
      // v and i keep their contents: an interval given once applies to the units after it.
      p.value[unit] = v;
      p.interval[unit] = i;
      target = &v;
      ++pos;
    } else {
      break;
    }
  }
  p.value[kUnitWeekday] = normaliseWeekday(p.value[kUnitWeekday]);
  p.interval[kUnitWeekday] = normaliseWeekday(p.interval[kUnitWeekday]);
  return p;
}

bool parseSched(std::string_view value, Schedule& schedule) {
  size_t pos = 0;
  SchedEntry entry;
  entry.start = parsePoint(value, pos);
  if (entry.start.empty()) return false;
  entry.stop = parsePoint(value, pos);  // the "-" between the points is skipped by the reader
  entry.text = adt::String(value);
  schedule.push_back(std::move(entry));
  return true;
}

const SchedEntry* findDueEntry(const Schedule& schedule, double since,
                               const platform::LocalTime& now) {
  const int64_t nowMs = localMs(now);
  const int64_t sinceMs = daysToMs(since);
  for (const SchedEntry& entry : schedule) {
    if (isDue(entry, sinceMs, now, nowMs)) return &entry;
  }
  return nullptr;
}

int64_t localMs(const platform::LocalTime& t) {
  platform::LocalTime date = t;
  date.hour = date.minute = date.second = date.millisecond = 0;
  const int64_t days = std::llround(platform::toFractionalDays(date));
  return days * kDayMs + ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
}

int64_t daysToMs(double days) { return std::llround(days * static_cast<double>(kDayMs)); }

void RestartTimes::store(int32_t& hour, int32_t& minute) {
  if (hour >= 0) {
    const int64_t t = (int64_t{hour} * 60 + (minute < 0 ? 0 : minute)) * 60000;
    bool present = false;
    for (int64_t have : times_) present = present || have == t;
    if (!present) times_.push_back(t);
  }
  hour = minute = -1;
}

void RestartTimes::parse(std::string_view value) {
  times_.clear();
  armed_ = pending_ = false;
  int32_t h = -1, m = -1;
  size_t pos = 0;
  while (pos < value.size()) {
    const char c = value[pos];
    if (isDigit(c)) {
      const int32_t n = readNumber(value, pos);
      if (h >= 0 && m >= 0) store(h, m);
      if (h >= 0) {
        m = n;
      } else {
        h = n;
      }
      continue;
    }
    if (c == ',' || c == ';') {
      store(h, m);
    } else if (c == ':') {
      if (h < 0) {
        h = 0;  // ":30" is 00:30
      } else if (m >= 0) {
        store(h, m);
      }
    }
    ++pos;  // white space and anything else is skipped
  }
  store(h, m);
}

adt::String RestartTimes::text() const {
  adt::String out;
  for (int64_t t : times_) {
    if (!out.empty()) out += ';';
    out += adt::format("%02lld:%02lld", static_cast<long long>(t / 3600000),
                       static_cast<long long>(t / 60000 % 60));
  }
  return out;
}

void RestartTimes::keepArmed(const platform::LocalTime& now) {
  if (times_.empty()) {
    armed_ = pending_ = false;
    return;
  }
  pending_ = true;
  if (!armed_) {
    armed_ = true;
    lastCheck_ = localMs(now);
    base_ = floorDiv(lastCheck_, kDayMs) * kDayMs;
  }
}

std::optional<RestartRequest> RestartTimes::checkRestart(const platform::LocalTime& now) {
  if (!armed_) return std::nullopt;
  const int64_t current = localMs(now);
  const int64_t prev = lastCheck_;
  lastCheck_ = current;
  for (int64_t t : times_) {
    if (prev <= base_ + t && base_ + t < current) {
      RestartRequest request;
      request.reason =
          adt::format("перезапуск по расписанию в %02lld:%02lld",
                      static_cast<long long>(t / 3600000), static_cast<long long>(t / 60000 % 60));
      return request;  // one restart per check
    }
  }
  return std::nullopt;
}

}  // namespace config
