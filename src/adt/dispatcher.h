// The single-threaded event loop step that drives every channel.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "adt/channel.h"
#include "platform/clock.h"
#include "platform/poller.h"

namespace adt {

// Owns the registered channels and drives them one step at a time: one wait for readiness of
// all of them, then the handlers of every ready channel, the idle handlers about every ten
// milliseconds, and the periodic work when it is due. Channels are destroyed when they reach
// Closed, when a handler throws, or with the dispatcher.
//
// The cost of a step grows with the channels that are ready; the idle pass, which visits every
// channel, runs at most every kIdleIntervalMs however busy the sockets are.
// Thread: one thread only, the one that calls process(); nothing here is locked.
class ChannelDispatcher {
 public:
  static constexpr int kWaitMs = 100;
  static constexpr uint64_t kIdleIntervalMs = 10;
  // How long a closing channel may wait for its peer to take the rest and close.
  static constexpr uint64_t kDefaultCloseLimitMs = 60000;
  // Ready channels reported by one wait at most; beyond, the poller reports them in turn.
  static constexpr size_t kMaxEventsPerStep = 16384;
  // One receive reads this much at most.
  static constexpr size_t kReceiveChunk = 65536;

  // `clock` times the idle pass, the closing limits and the periodic work. Throws
  // SocketException "ChannelDispatcher:poll ..." when the system gives no poller.
  explicit ChannelDispatcher(platform::Clock& clock = platform::systemClock(),
                             uint64_t closeLimitMs = kDefaultCloseLimitMs);
  // Destroys every channel still registered.
  ~ChannelDispatcher();
  ChannelDispatcher(const ChannelDispatcher&) = delete;
  ChannelDispatcher& operator=(const ChannelDispatcher&) = delete;

  // Registers the channel; the dispatcher owns it from now on. May be called from a handler
  // (the channel is served from the next step on). A socket the poller refuses throws
  // SocketException "ChannelDispatcher:add ..." and the channel is destroyed.
  void add(Channel* channel);

  // Work run by process() every `intervalMs` of the clock, at most and at least (a step never
  // waits beyond the time it is due), whatever the traffic. Replaces an earlier one. What it
  // throws (std::exception) is logged at ERR.
  void setPeriodic(uint64_t intervalMs, std::function<void()> work);

  // One step, in this order:
  //  1. No channel registered: return false at once.
  //  2. Channels whose state or output changed since they were last handled (close(), send()
  //     from elsewhere) are settled as in 5, and their watch is brought up to date.
  //  3. Wait for readiness, at most kWaitMs and not beyond the time the periodic work is due
  //     or the time asked for by wakeBy().
  //     A failing wait throws SocketException "ChannelDispatcher:select ...".
  //  4. Every ready channel, in the order reported:
  //     a. writable (and wanting to write): onWrite();
  //     b. readable: onRead(); 1 takes the channel out (no longer watched, not destroyed).
  //  5. After its handlers, each channel is settled by state: Open, HalfClosed: stays.
  //     Closing: stays while wantsWrite(); once drained the sending side is shut down and the
  //     channel becomes HalfClosed. Closed: destroyed. A channel still Closing or HalfClosed
  //     closeLimitMs after closing began (a peer that neither reads nor closes) is destroyed.
  //  6. Idle pass, when kIdleIntervalMs have passed since the last (or the wait found nothing,
  //     or a time asked for by wakeBy() has come): every channel not read in this step gets
  //     onIdle() while Open, then checkLimits(), and is settled as in 5.
  //  7. The periodic work, when due.
  //  8. Return true.
  // Anything thrown (std::exception) by a channel's handler or its settling is logged at ERR
  // (a DetailedException with its details) and destroys that channel only; the step goes on.
  // Anything else leaves every channel registered and leaves the step.
  // Not reentrant: a handler must not call process() of the same dispatcher.
  bool process();

  // Visits every registered channel in registration-slot order. `fn` may change states
  // (close()) but must not add, remove or destroy channels.
  void forEach(const std::function<void(Channel&)>& fn);
  // Registered channels.
  size_t count() const { return live_; }

  // Scratch memory for one receive (kReceiveChunk bytes), valid inside a handler.
  uint8_t* receiveBuffer() { return receive_.get(); }

  // Called by Channel::interestChanged().
  void touch(Channel& channel);

  // Asks for an idle pass at `atMs` of the clock (or soon after): no wait goes beyond it. The
  // earliest time asked for counts; the idle pass that reaches it forgets it, so a channel that
  // needs another asks again from its onIdle().
  void wakeBy(uint64_t atMs);
  platform::Clock& clock() { return clock_; }

 private:
  static uint64_t keyOf(const Channel& c) {
    return static_cast<uint64_t>(c.generation_) << 32 | c.slot_;
  }
  Channel* lookup(uint64_t key) const;
  // Settles the channel after its handlers (step 5) and brings its watch up to date.
  void settle(Channel* c, uint64_t now);
  void watch(Channel* c);
  void release(Channel* c);
  void destroy(Channel* c);
  // Runs `handler` for `c`; a std::exception destroys c. False when c is gone afterwards.
  template <typename Handler>
  bool guarded(Channel* c, Handler&& handler);
  void settleTouched(uint64_t now);
  void idlePass(uint64_t now);
  void runPeriodic(uint64_t now);

  platform::Clock& clock_;
  const uint64_t closeLimitMs_;
  std::unique_ptr<platform::Poller> poller_;
  // Registered channels by slot; free slots are null and listed in free_.
  std::vector<Channel*> slots_;
  std::vector<uint32_t> free_;
  uint32_t nextGeneration_ = 1;
  size_t live_ = 0;
  std::vector<uint64_t> touched_;
  std::vector<platform::PollEvent> events_;
  std::unique_ptr<uint8_t[]> receive_;
  uint64_t step_ = 0;
  uint64_t lastIdlePass_ = 0;
  bool idledOnce_ = false;
  uint64_t wakeBy_ = 0;  // 0: none asked for
  uint64_t periodicIntervalMs_ = 0;
  uint64_t periodicDue_ = 0;
  std::function<void()> periodic_;
};

}  // namespace adt
