// Where to connect to an agent (commands 14 and 30): picks the agent instance, starts it when
// it is stopped and waits for its start report, then replies with the port on which the agent
// process serves clients, or with the agent's redirect.
#pragma once
#include <cstdint>

#include "agents/agent.h"
#include "clients/request.h"

namespace clients {

// Needs no login. A logged-in client (the console) does not wait for slow starts: it is let go
// without reply 3 s after the request began; a plain client waits while the request holds the
// connection. Main thread only.
// The file of an agent's `icon` setting: a relative name ("icons/a.png" or "a.png") lies in the
// home's icons folder, the way the web front serves it; an absolute path is taken as written.
// Empty when a relative name leads out of the icons folder.
adt::String iconPath(const std::string& home, const adt::String& icon);

class RqLoginToAgent final : public Request {
 public:
  static constexpr uint8_t kTagShort = 14;  // value = the agent name; complete at once
  static constexpr uint8_t kTagLong = 30;   // parameters follow, element 14 completes them
  // The client version of clients that do not send one: 5.2.0.
  static constexpr uint32_t kDefaultClientVersion = 5u << 24 | 2u << 16;
  // Clients above this version receive the agent's icon.
  static constexpr uint32_t kIconClientVersion = 5u << 24 | 2u << 16 | 31u;
  static constexpr uint64_t kConsoleWaitMs = 3000;
  static constexpr uint64_t kResolveHoldMs = 70000;
  static constexpr uint64_t kStartHoldMs = 310000;

  RqLoginToAgent(Client& client, adt::NioTag& element);

  // Command 30: element 71 (the client version, four 32-bit integers), 121 (worker id), 125
  // (stored), then 14 (the agent name) completes the parameters; element 9 instead ends the
  // request without reply.
  bool onMessage(adt::NioTag& element) override;
  // Resolves the agent and starts it when needed (state 1), then waits for it (state 2).
  // Refusals are ClientExceptions: 0x1010 unknown or filtered, 0x1011 locked, 0x1012 the agent
  // stopped or is stopping while the client waits.
  bool poll() override;
  bool holdsConnection(uint64_t nowMs) override;
  // "RqLoginToAgent(<state>)".
  void describe(adt::String& out) const override;

 private:
  // The agent the requested name means: by name, else "base#n" as worker n of "base".
  agents::Agent& resolve();
  void resolveAndStart(uint64_t now);
  void waitForStart(uint64_t now);
  // Reply 120, 117, then 14 = the port or 107 = the redirect; finishes.
  void reply(agents::Agent& agent);
  [[noreturn]] void unknown() const;

  int state_ = 0;  // 0 collecting, 1 resolve, 2 wait for the start, 3 finished
  adt::String name_;
  int32_t workerId_ = 0;
  int32_t stored125_ = 0;
  uint32_t clientVersion_ = kDefaultClientVersion;
  uint64_t createdMs_;
  uint64_t stateMs_;
  agents::Agent* agent_ = nullptr;  // the chosen instance, state 2
};

}  // namespace clients
