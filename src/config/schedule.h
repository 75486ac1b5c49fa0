// Time-based supervision settings of an agent: `sched` windows in which the agent should run
// and `restart_time` times of day at which a running agent is restarted. Every evaluation takes
// the local time from its caller, so it never reads a clock itself.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "adt/text.h"
#include "platform/clock.h"

namespace config {

// Units of a schedule point, in the order of the point's arrays.
enum SchedUnit { kUnitMinute = 0, kUnitHour, kUnitDay, kUnitMonth, kUnitWeekday, kSchedUnits };

// One side of a window: for each unit a value and an interval, -1 where not given.
// Weekdays are 1 = Monday ... 7 = Sunday.
struct SchedPoint {
  int32_t value[kSchedUnits] = {-1, -1, -1, -1, -1};
  int32_t interval[kSchedUnits] = {-1, -1, -1, -1, -1};

  bool operator==(const SchedPoint&) const = default;
  bool hasValues() const;
  bool hasIntervals() const;
  bool empty() const { return !hasValues() && !hasIntervals(); }
  // Sum of the given minute, hour, day and month (30.4375 days) intervals, in milliseconds.
  int64_t intervalMs() const;
};

// Reads one point from `text` at `pos` ("1w9h15m", "*/15m", ...); `pos` is left on the
// character that ended it. The result may be empty.
SchedPoint parsePoint(std::string_view text, size_t& pos);

// One `sched` line: a start point, a stop point and the value as written (used in log reasons).
struct SchedEntry {
  SchedPoint start;
  SchedPoint stop;
  adt::String text;
  bool operator==(const SchedEntry&) const = default;
};

// An agent's schedule: its `sched` lines in file order.
using Schedule = std::vector<SchedEntry>;

// Appends the entry a `sched` value describes. A value whose start point is empty (no unit
// letter) appends nothing and returns false.
bool parseSched(std::string_view value, Schedule& schedule);

// The first entry of `schedule` due at `now`, or null. `since` (fractional days) is the moment of
// the agent's last start or stop; interval-only points count from it.
const SchedEntry* findDueEntry(const Schedule& schedule, double since,
                               const platform::LocalTime& now);

// Local time in milliseconds on the fractional-day scale: days since 1899-12-30 times 86400000
// plus the time of day. Hours and minutes beyond their ranges carry over.
int64_t localMs(const platform::LocalTime& t);
// Fractional days -> the same millisecond scale.
int64_t daysToMs(double days);

// What a restart check asks of the agent's current run: a soft stop without notification.
struct RestartRequest {
  adt::String reason;
  uint32_t timeoutMs = 300000;
  uint32_t graceMs = 280000;
};

// The `restart_time` list of an agent and the state that fires each listed time at most once
// per arming. Driven by the supervision step on the server thread; not thread-safe.
class RestartTimes {
 public:
  // Replaces the list from a `restart_time` value ("3:00;15:30", "7", ":30") and disarms.
  void parse(std::string_view value);

  // Times of day in milliseconds after midnight, without duplicates, in order of appearance.
  const std::vector<int64_t>& times() const { return times_; }
  bool empty() const { return times_.empty(); }
  // The list as "HH:MM" joined by ";" (parses back to the same list); empty when none.
  adt::String text() const;

  // One supervision pass: beginPass, then keepArmed while restarts apply to the agent, then
  // checkRestart, then endPass. A pass without keepArmed disarms, so the next arming takes a
  // new base (the midnight of its day).
  void beginPass() { pending_ = false; }
  void keepArmed(const platform::LocalTime& now);
  // When armed: the first listed time passed since the previous check (on the arming day)
  // yields a restart request, which the caller performs as a soft stop of the current run.
  std::optional<RestartRequest> checkRestart(const platform::LocalTime& now);
  void endPass() { armed_ = pending_; }

  bool armed() const { return armed_; }

 private:
  void store(int32_t& hour, int32_t& minute);

  std::vector<int64_t> times_;
  bool armed_ = false;
  bool pending_ = false;
  int64_t base_ = 0;       // local midnight of the arming day, ms
  int64_t lastCheck_ = 0;  // local time of the previous check, ms
};

}  // namespace config
