// Name lookup for the notification servers, off the main thread.
#pragma once
#include <cstdint>
#include <memory>

#include "adt/text.h"

namespace notify {

// One lookup of an IPv4 address. A dotted quad is taken at once; any other name is looked up
// on a short-lived worker thread of its own, so a slow name service never holds the main loop.
// At most kMaxRunning lookups run at a time; one more fails at once. The worker shares only
// the result record with this object, so either may end first.
// Thread: created and polled on one thread (the main thread).
class HostLookup {
 public:
  static constexpr int kMaxRunning = 4;

  explicit HostLookup(const adt::String& host);
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  bool done() const;
  // Once done: the address (network byte order), or the failure as text.
  uint32_t address() const;
  adt::String error() const;

 private:
  struct Result;
  std::shared_ptr<Result> result_;
};

}  // namespace notify
