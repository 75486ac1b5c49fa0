// Readiness of many sockets at once: the one wait of the dispatcher's step. Sockets are
// registered once with their interest and a key of the caller's choosing; a wait reports the
// ready ones by key, so the cost of a step grows with the sockets that are ready, not with the
// ones that are registered. Level-triggered: a socket stays reported while it is ready.
//
// Not thread-safe: one thread registers and waits. The poller owns no socket; a socket must be
// removed before it is closed (a socket shared with a child process would otherwise go on being
// reported under a key that means nothing any more).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/net.h"

namespace platform {

// One ready socket. A socket with an error or hang-up pending is reported readable (and
// writable when writing was asked for), so that the next receive or send reports what happened.
struct PollEvent {
  uint64_t key = 0;
  bool readable = false;
  bool writable = false;
};

class Poller {
 public:
  virtual ~Poller() = default;

  // Each returns 0 or a Winsock-numbered error code.
  virtual int add(SocketHandle h, uint64_t key, bool read, bool write) = 0;
  virtual int modify(SocketHandle h, uint64_t key, bool read, bool write) = 0;
  virtual int remove(SocketHandle h) = 0;

  // Waits until a registered socket is ready or timeoutMs passes (negative: no limit) and
  // fills at most `capacity` events. value = the number of events (0 on time-out). Sockets
  // ready beyond `capacity` are reported by the next waits, in turn.
  virtual NetResult wait(PollEvent* events, size_t capacity, int timeoutMs) = 0;
};

// The platform's poller. value of `error` (may be null) = the code when it cannot be had; the
// result is then null.
std::unique_ptr<Poller> newPoller(int* error);

}  // namespace platform
