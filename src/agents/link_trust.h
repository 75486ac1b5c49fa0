// Trust on the agent link: a datagram counts only when the socket it was sent from belongs to
// the right party. Any local user can send to the agent port, so the source port alone proves
// nothing: a stop request must come from a socket of the manager's own user, and an agent's
// datagrams (its start report included) from a socket held by that agent's process.
#pragma once
#include <cstdint>
#include <cstddef>
#include <unordered_map>

namespace agents {

// Checks the sender of agent-link datagrams and logs refusals at WARN, at most
// kRefusalLinesPerSecond lines a second so that a flood of forged datagrams cannot flood the
// log (the refusals left out are counted in the next line). Owned by the server; main thread.
class LinkTrust {
 public:
  static constexpr int kRefusalLinesPerSecond = 5;

  // A stop request (code 17) from 127.0.0.1:port: true when every socket that could have sent
  // it belongs to the manager's own user.
  bool stopRequestTrusted(uint16_t port, uint64_t nowMs);
  // A datagram with `code` from 127.0.0.1:port that claims to come from process `pid`: true
  // when every socket that could have sent it is among that process's descriptors. A pair found
  // good is trusted without looking again for kRecheckMs (a start report is always looked at):
  // one look walks the system's whole UDP table (0.03 to 0.2 ms, more with more sockets),
  // which telemetry every second from a thousand agents would otherwise walk a thousand times
  // a second (a recheck every 30 s still cost 1 % of a core there). Once a linked agent's
  // socket is found its own, another process can send from that port only after the agent has
  // closed it (sharing a bound port needs the agent's consent); a stop request is looked at
  // every time.
  static constexpr uint64_t kRecheckMs = 120000;
  static constexpr size_t kMaxRemembered = 8192;
  bool fromProcess(uint32_t pid, uint16_t port, uint32_t code, uint64_t nowMs);

  uint64_t refusals() const { return refusals_; }

 private:
  void refused(const char* what, uint64_t nowMs);

  // (pid << 16 | port) -> when it was last found good.
  std::unordered_map<uint64_t, uint64_t> verified_;
  uint64_t refusals_ = 0;
  uint64_t windowStart_ = 0;
  int linesInWindow_ = 0;
  uint64_t suppressed_ = 0;
};

}  // namespace agents
