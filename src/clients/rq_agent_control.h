// Requests that act on an agent record or read it: stop (33), lock (68), info (36), settings
// (48), threads (35) and the manager's statistics of an agent (91 kind 0, 94).
#pragma once
#include <cstdint>

#include "adt/tagged_writer.h"
#include "agents/task_list.h"
#include "clients/agent_request.h"

namespace clients {

// Stops an agent (level 1): value = the agent name; elements 51, 121, 109 (mode), 110
// (time-out in ms), 9. Replies 34 once the agent is stopped. Mode 2 kills at once without
// reply; with any mode given the request lets go without reply after 3 s.
class RqStopAgent final : public AgentRequest {
 public:
  static constexpr uint64_t kMinTimeoutMs = 20000;
  static constexpr uint64_t kGraceTimeoutMs = 300000;  // mode 1 without a time-out
  static constexpr uint64_t kModeWaitMs = 3000;

  RqStopAgent(Client& client, adt::NioTag& element);
  bool poll() override;
  // True while the request waits for the process to end.
  bool holdsConnection(uint64_t nowMs) override;

  // The time-out and grace of a stop with `timeoutMs` (0: none given) in `mode`.
  static uint64_t timeoutFor(int32_t mode, uint64_t timeoutMs);
  static uint64_t graceFor(int32_t mode, uint64_t timeout);

 private:
  bool onOther(adt::NioTag& element) override;
  bool replyStopped();

  int32_t mode_ = 0;
  bool modeGiven_ = false;
  uint64_t timeoutMs_ = 0;
  uint64_t createdMs_;
  agents::Agent* agent_ = nullptr;  // while waiting
};

// Locks or unlocks an agent for the client's address (level 1): value = 32-bit flag; then
// element 51 or 54 does it and replies 34. Another address's lock is refused with "Агент
// заблокирован с другого IP".
class RqLockAgent final : public Request {
 public:
  RqLockAgent(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  // "RqLockAgent".
  void describe(adt::String& out) const override;

 private:
  bool lock_;
};

// Start time and uptime of an agent, and its own answer to the info code (level 0): value =
// 32-bit info code; elements 51, 54, 121, 9. Replies 96 and, when the agent runs, 37 (its
// answer) and 9.
class RqAgentInfo final : public AgentRequest {
 public:
  RqAgentInfo(Client& client, adt::NioTag& element);
  bool poll() override;

  // "Время запуска агента: dd.mm.yyyy hh:mm:ss\r\nВремя работы агента: d:hh:mm:ss
  // (дни:часы:минуты:секунды)\r\n\r\n".
  static adt::String startText(double startTime, uint64_t uptimeMs);

 private:
  int32_t code_;
  adt::MemoryTaggedWriter reply_;
};

// An agent's settings section (level 0): elements 51, 54, 121, 9; replies 1 = the section text.
class RqAgentSettings final : public AgentRequest {
 public:
  RqAgentSettings(Client& client, adt::NioTag& element);
  bool poll() override;
  // "RqAgentSettings".
  void describe(adt::String& out) const override;
};

// An agent's task list (level 0): value = the agent name; elements 51, 120 (flags; bit 0: with
// the history), 121, 9. Replies with writeTaskList.
class RqAgentThreads final : public AgentRequest {
 public:
  RqAgentThreads(Client& client, adt::NioTag& element);
  bool poll() override;
  // "RqAgentThreads()".
  void describe(adt::String& out) const override;

 private:
  bool onOther(adt::NioTag& element) override;
  int32_t flags_ = 0;
};

// The reply of RqAgentThreads from an agent's telemetry task list: 60 = the number of groups;
// one group per current task; 5 = the decoding section as text (when a dictionary came); 90 =
// the local time of the list (double, 8 bytes); with `history`, one group per finished task,
// each followed by 14 = its stack text when it has one.
// A group is 59 (20 bytes: id, type, op, pulse, thread as 32-bit little-endian) and 76, a
// nested stream: 1 = rq (32-bit), 2 = milliseconds the pulse has stood still (64-bit, 0 while it
// moves), 3 = finish time (double, finished tasks only), 4 = rq_time (32-bit), 5 = blocked (32-bit
// 1/0), 6 = the context message (text), 7 = extra (16-bit), 9 = user (the double's 64 bits), 13 =
// the stack text (current tasks, when they have one).
void writeTaskList(const agents::TaskList& tasks, bool history, uint64_t now,
                   adt::TaggedWriter& out);

}  // namespace clients
