// The single-threaded event loop step that drives every channel.
#pragma once
#include <cstddef>
#include <functional>
#include <vector>

#include "adt/channel.h"
#include "adt/queue.h"
#include "platform/net.h"

namespace adt {

// Owns the registered channels and drives them one step at a time: waits for readiness of at
// most maxPerStep channels and calls their handlers. Large populations are served in turns,
// maxPerStep at a time. Channels are destroyed when they reach Closed, when a handler throws,
// or with the dispatcher.
// Thread: one thread only, the one that calls process(); nothing here is locked.
class ChannelDispatcher {
 public:
  static constexpr size_t kDefaultMaxPerStep = 64;
  static constexpr int kWaitMs = 100;

  // How long a closing channel may wait for its peer to take the rest and close.
  static constexpr uint64_t kDefaultCloseLimitMs = 60000;

  explicit ChannelDispatcher(size_t maxPerStep = kDefaultMaxPerStep,
                             uint64_t closeLimitMs = kDefaultCloseLimitMs);
  // Destroys every channel still registered.
  ~ChannelDispatcher();
  ChannelDispatcher(const ChannelDispatcher&) = delete;
  ChannelDispatcher& operator=(const ChannelDispatcher&) = delete;

  // Registers the channel at the end of the queue; the dispatcher owns it from now on. May be
  // called from a handler (the channel is served from the next step on).
  void add(Channel* channel);

  // One step, in this order:
  //  1. Pop up to maxPerStep channels from the head of the queue; watch each for readability,
  //     and for writability when wantsWrite() says so. Channels beyond stay queued.
  //  2. No channel popped: return false at once.
  //  3. Wait up to kWaitMs for readiness. When the wait fails, the popped channels are queued
  //     again and SocketException "ChannelDispatcher:select ..." is thrown.
  //  4. Handle the popped channels, the last popped first:
  //     a. writable: onWrite();
  //     b. readable: onRead(); 1 takes the channel out (not queued, not destroyed). Not
  //        readable and Open: onIdle();
  //     c. by state: Open, HalfClosed: queued again. Closing: queued again while wantsWrite();
  //        once drained the sending side is shut down and the channel becomes HalfClosed
  //        (queued again). Closed: destroyed. A channel still Closing or HalfClosed
  //        closeLimitMs after closing began (a peer that neither reads nor closes) is
  //        destroyed.
  //     d. anything thrown in a-c is logged at ERR (a DetailedException with its details) and
  //        destroys this channel only; the step goes on.
  //  5. Return true.
  // Not reentrant: a handler must not call process() of the same dispatcher.
  bool process();

  // Visits every registered channel, including those of a step in progress, in queue order.
  // `fn` may change states (close()) but must not add, remove or destroy channels.
  void forEach(const std::function<void(Channel&)>& fn);
  // Registered channels (those of a step in progress included).
  size_t count();

 private:
  void destroy(Channel* channel);
  void finish(Channel* channel);

  const size_t maxPerStep_;
  const uint64_t closeLimitMs_;
  Queue<Channel> queue_;
  // The step in progress: popped channels (null once dealt with) and their readiness.
  std::vector<Channel*> batch_;
  std::vector<platform::PollEntry> entries_;
};

}  // namespace adt
