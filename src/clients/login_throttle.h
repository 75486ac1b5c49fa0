// The brake on password guessing: after a failed login an address waits before its next proof
// is checked, longer after every failure in a row, until a login from it succeeds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace clients {

// Per-address failure counts and the moment each address may be checked again. The table is
// bounded: when it is full the address whose last failure is oldest is forgotten. Every
// loopback address (127.0.0.0/8) counts as one, since a local user may send from any of them.
// Owned by the server; main thread only.
class LoginThrottle {
 public:
  // The wait after the n-th failure in a row: n × kStepMs, at most kMaxDelayMs. Linear, so that
  // a mistyped password costs a moment and a guessing loop soon waits half a minute a guess.
  static constexpr uint64_t kStepMs = 100;
  static constexpr uint64_t kMaxDelayMs = 30000;
  static constexpr size_t kMaxAddresses = 4096;
  // Failures older than this are forgotten (the count starts again).
  static constexpr uint64_t kForgetAfterMs = 15 * 60 * 1000;

  static uint64_t delayAfter(uint32_t failures);

  // The earliest moment at which a proof from `address` (host byte order) may be checked; at or
  // before `nowMs` when it may be checked at once.
  uint64_t readyAt(uint32_t address, uint64_t nowMs) const;
  // A failed proof from `address` at `nowMs`: returns the wait before it may try again.
  uint64_t failed(uint32_t address, uint64_t nowMs);
  // A successful login from `address`: its count starts again.
  void succeeded(uint32_t address);

  size_t size() const { return entries_.size(); }
  uint32_t failures(uint32_t address, uint64_t nowMs) const;

 private:
  struct Entry {
    uint32_t failures = 0;
    uint64_t lastFailureMs = 0;
    uint64_t readyAtMs = 0;
  };
  static uint32_t key(uint32_t address);
  void makeRoom(uint64_t nowMs);

  std::unordered_map<uint32_t, Entry> entries_;
};

}  // namespace clients
