// Test support: a dispatcher with a notifier, run by the test's own loop.
#pragma once
#include <chrono>
#include <functional>

#include "adt/dispatcher.h"
#include "notify/notifier.h"
#include "platform/clock.h"

namespace testsupport {

struct NotifyLoop {
  explicit NotifyLoop(platform::Clock& clock = platform::systemClock(),
                      notify::Notifier::Limits limits = {})
      : dispatcher(clock), notifier(dispatcher, clock, limits) {}
  explicit NotifyLoop(notify::Notifier::Limits limits)
      : NotifyLoop(platform::systemClock(), limits) {}
  // Runs until `done` holds and no conversation is left, at most `limit`.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (!dispatcher.process()) platform::sleepMs(10);
      notifier.poll();
      if (done() && dispatcher.count() == 0 && !notifier.busy()) return true;
    }
    return false;
  }
  adt::ChannelDispatcher dispatcher;
  notify::Notifier notifier;
};

}  // namespace testsupport
