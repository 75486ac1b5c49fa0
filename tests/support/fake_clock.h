// A clock that moves only when a test moves it.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace testsupport {

class ManualClock final : public platform::Clock {
 public:
  uint64_t nowMs() override { return now.load(); }
  platform::LocalTime localNow() override { return {}; }
  std::atomic<uint64_t> now{1000000};
};

// A clock for a whole manager in a test: the tick moves only when the test moves it, the local
// time stands at one fixed moment (day 46000, noon).
class FixedDayClock final : public platform::Clock {
 public:
  uint64_t nowMs() override { return now; }
  platform::LocalTime localNow() override { return platform::fromFractionalDays(46000.5); }
  uint64_t now = 1000;
};

}  // namespace testsupport
