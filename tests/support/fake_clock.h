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

}  // namespace testsupport
