// Requests answered by the agent process itself over its link: the pass-through request
// (115), the Java environment (81), the agent's statistics (91), dropping one of its clients
// (72) or all of them (119); and the manager's per-process statistics (94), which share the
// parameter form of 91.
#pragma once
#include <cstdint>

#include "clients/agent_request.h"

namespace clients {

// Collects the parameters, then sends one link request (code, argument, payload) once the link
// is free and waits for the answer. The answer is appended to the client's output as it is
// (it is a tagged stream meant for the client) or ignored. Without a process or link the
// request finishes without reply. Main thread only.
class AgentLinkRequest : public AgentRequest {
 public:
  bool poll() override;

 protected:
  AgentLinkRequest(Client& client, const char* name, uint32_t code, bool appendAnswer);

  // The agent the request goes to.
  virtual agents::Agent& target() { return agent(); }
  // The link to send on; null finishes without reply. Default: the process's link.
  virtual agents::AgentAttach* linkOf(agents::Agent& agent);
  // Throws to refuse the request for this agent before anything is sent. Default: nothing.
  virtual void check(agents::AgentAttach& link);
  // Work done without the agent (statistics kept by the manager): true when handled.
  virtual bool answerLocally() { return false; }

  uint32_t code_;
  uint32_t arg_ = 0;
  adt::Bytes payload_;
  bool append_;
};

// Passes a client's request through to the agent (level 0): value = 32-bit code; element 51;
// element 9 whose value is the payload. Codes that the manager itself uses on the link are
// refused.
class RqAgentProxyRequest final : public AgentLinkRequest {
 public:
  RqAgentProxyRequest(Client& client, adt::NioTag& element);

  // Codes a client may not send through: the manager's own link vocabulary.
  static bool forbiddenCode(uint32_t code);

 private:
  void onEnd(adt::NioTag& element) override;
  agents::Agent& target() override;
  agents::AgentAttach* linkOf(agents::Agent& agent) override;
  void check(agents::AgentAttach& link) override;
};

// The agent's Java environment (level 0): value = agent name; elements 51, 121, 9.
class RqAgentJavaInfo final : public AgentLinkRequest {
 public:
  RqAgentJavaInfo(Client& client, adt::NioTag& element);
};

// Drops one client of the agent (level 1): value = the client's identifier bytes; elements 51,
// 54, 121, 9. The agent's answer is not passed on.
class RqKillClient final : public AgentLinkRequest {
 public:
  RqKillClient(Client& client, adt::NioTag& element);
};

// Drops every client of the agent (level 1): value kept, not sent; elements 51, 54, 121, 9.
// Agents before 5.2.305 refuse with "Агент не поддерживает данную команду".
class RqKillAllClients final : public AgentLinkRequest {
 public:
  static constexpr uint32_t kMinVersion = 5u << 24 | 2u << 16 | 305u;
  RqKillAllClients(Client& client, adt::NioTag& element);

 private:
  void check(agents::AgentAttach& link) override;
  adt::Bytes value_;
};

// Statistics of an agent (command 91, level 0) or of its processes (command 94): elements 51
// or 54, 121, then 202 = nested {1 from, 2 to (doubles), 3 kind}, which starts the work. Kind 0
// and command 94 are answered from the samples the manager keeps (writeAgentSamples,
// writeProcessSamples); another kind goes to the agent with the nested stream as payload.
class RqAgentStatistics final : public AgentLinkRequest {
 public:
  RqAgentStatistics(Client& client, adt::NioTag& element, bool processes);

 private:
  bool onOther(adt::NioTag& element) override;
  bool answerLocally() override;

  bool processes_;
  double from_ = 0, to_ = 0;
  int32_t kind_ = 0;
};

// For every telemetry sample with from < time <= to, in stored order: 1 = time (double), 202 =
// the sample's bytes as the agent sent them, 25 = its count when not 0.
void writeAgentSamples(const agents::SampleHistory& samples, double from, double to,
                       adt::TaggedWriter& out);
// One process sample as a nested stream: 1 = pid (32-bit), 2 = user and 3 = kernel processor
// time in ms, 4 = working set, 5 = its peak, 6 = page-file use, in KiB (64-bit each).
void writeProcessSample(const agents::ProcessSample& sample, adt::MemoryTaggedWriter& nested);
// For every process sample with from < time <= to, oldest first: 1 = time (double), 202 = the
// sample (writeProcessSample).
void writeProcessSamples(const agents::ProcessSamples& samples, double from, double to,
                         adt::TaggedWriter& out);

}  // namespace clients
