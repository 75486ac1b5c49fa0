#include "clients/login_throttle.h"

#include <iterator>

namespace clients {

uint64_t LoginThrottle::delayAfter(uint32_t failures) {
  const uint64_t delay = static_cast<uint64_t>(failures) * kStepMs;
  return delay < kMaxDelayMs ? delay : kMaxDelayMs;
}

uint32_t LoginThrottle::key(uint32_t address) {
  return (address >> 24) == 127 ? 0x7F000000u : address;
}

uint64_t LoginThrottle::readyAt(uint32_t address, uint64_t nowMs) const {
  const auto it = entries_.find(key(address));
  if (it == entries_.end() || nowMs - it->second.lastFailureMs >= kForgetAfterMs) return 0;
  return it->second.readyAtMs;
}

uint32_t LoginThrottle::failures(uint32_t address, uint64_t nowMs) const {
  const auto it = entries_.find(key(address));
  if (it == entries_.end() || nowMs - it->second.lastFailureMs >= kForgetAfterMs) return 0;
  return it->second.failures;
}

uint64_t LoginThrottle::failed(uint32_t address, uint64_t nowMs) {
  const uint32_t k = key(address);
  auto it = entries_.find(k);
  if (it == entries_.end()) {
    makeRoom(nowMs);
    it = entries_.emplace(k, Entry{}).first;
  } else if (nowMs - it->second.lastFailureMs >= kForgetAfterMs) {
    it->second = Entry{};
  }
  Entry& e = it->second;
  if (e.failures < UINT32_MAX) ++e.failures;
  e.lastFailureMs = nowMs;
  const uint64_t delay = delayAfter(e.failures);
  e.readyAtMs = nowMs + delay;
  return delay;
}

void LoginThrottle::succeeded(uint32_t address) { entries_.erase(key(address)); }

void LoginThrottle::makeRoom(uint64_t nowMs) {
  if (entries_.size() < kMaxAddresses) return;
  // Forgotten entries go first; otherwise the one whose last failure is oldest.
  for (auto it = entries_.begin(); it != entries_.end();) {
    it = nowMs - it->second.lastFailureMs >= kForgetAfterMs ? entries_.erase(it) : std::next(it);
  }
  if (entries_.size() < kMaxAddresses) return;
  auto oldest = entries_.begin();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.lastFailureMs < oldest->second.lastFailureMs) oldest = it;
  }
  entries_.erase(oldest);
}

}  // namespace clients
