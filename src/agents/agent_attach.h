// The link of one started agent process back to the manager (created by the agent's start
// report) and the requests that wait on it for an answer.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "adt/text.h"
#include "agents/amp.h"

namespace agents {

class AgentAttach;
class AgentHost;
class AgentProcess;

// What an agent's start report carried (AMP code 1).
using AgentStartReport = amp::StartReport;

// A request that waits for an agent's answer. At most one waits on one link: attaching a new
// one detaches the previous one, which then never receives an answer (its own time-out ends
// it). Either side may be destroyed first; the pairing is cut then. Main thread only.
class AgentCallBack {
 public:
  AgentCallBack() = default;
  AgentCallBack(const AgentCallBack&) = delete;
  AgentCallBack& operator=(const AgentCallBack&) = delete;

  // The answering datagram (header and payload, as received). Called once; the callback is
  // already detached when it runs, so it may attach itself again or be destroyed.
  virtual void agentAnswer(const uint8_t* datagram, size_t size) = 0;

  // The link this request waits on, or null.
  AgentAttach* waitingOn() const { return attach_; }
  void detachFromAgent();

 protected:
  virtual ~AgentCallBack();

 private:
  friend class AgentAttach;
  AgentAttach* attach_ = nullptr;
};

// One per started agent process, owned by its AgentProcess as `link`; made from the start
// report by the datagram handler (AgentProcess::attachLink) and deleted when a datagram to the
// agent bounces or the process record goes. While it exists the agent counts as running.
// Main thread only.
class AgentAttach {
 public:
  // handoverPending bits.
  static constexpr uint32_t kHttpPending = 1;
  static constexpr uint32_t kHttpsPending = 2;

  // `hasHttp`/`hasHttps`: the instance has a manager-side listener on that port, whose socket
  // is being handed to the agent.
  AgentAttach(AgentProcess& process, AgentHost& host, uint16_t port, const AgentStartReport& report,
              bool hasHttp, bool hasHttps);
  ~AgentAttach();
  AgentAttach(const AgentAttach&) = delete;
  AgentAttach& operator=(const AgentAttach&) = delete;

  // One datagram to the agent's port.
  void send(uint32_t code, uint32_t arg, const void* payload = nullptr, size_t length = 0);
  // The stop request: soft (code 19) or plain (code 3), no payload.
  void sendTerminate(bool soft);
  // Sends, then makes `callBack` the waiting request (detaching any previous one).
  void request(AgentCallBack& callBack, uint32_t code, uint32_t arg, const void* payload = nullptr,
               size_t length = 0);
  // An answer that no link-level handling claimed: given to the waiting request, which is
  // detached first. False when none waits (the answer is dropped).
  bool deliverAnswer(const uint8_t* datagram, size_t size);

  // Sends a ping (code 9) and starts a hang probe unless one runs. Logged ("Пингую агент ...")
  // when it starts a probe or gives a reason.
  void ping(const adt::String& reason);
  // The probe is over: logs "...агент "<name>" (pid:<pid>): <text>" and clears the probe.
  void probeOk(const adt::String& text);

  AgentCallBack* waiting() const { return waiting_; }
  // The reported version as a version number (major << 24 | minor << 16 | build); 0 when the
  // report carried none.
  uint32_t reportedVersion() const;

  AgentProcess& process;
  const uint16_t port;  // the agent's UDP port: source port of its start report
  uint16_t startWord = 0;
  bool hasVersion = false;
  std::array<uint32_t, 4> version{};
  adt::String text1, text2;
  uint64_t probeTick = 0;  // start of a running hang probe; 0 when none
  uint64_t pingTick = 0;   // when the last ping was sent
  uint32_t handoverPending = 0;

 private:
  friend class AgentCallBack;
  AgentHost& host_;
  AgentCallBack* waiting_ = nullptr;
};

}  // namespace agents
