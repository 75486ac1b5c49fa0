#include "agents/agent_attach.h"

#include "adt/log.h"
#include "adt/text.h"
#include "agents/agent_host.h"
#include "agents/agent_run.h"
#include "agents/amp.h"

namespace agents {

AgentCallBack::~AgentCallBack() { detachFromAgent(); }

void AgentCallBack::detachFromAgent() {
  if (attach_ && attach_->waiting_ == this) attach_->waiting_ = nullptr;
  attach_ = nullptr;
}

AgentAttach::AgentAttach(AgentProcess& owner, AgentHost& host, uint16_t agentPort,
                         const AgentStartReport& report, bool hasHttp, bool hasHttps)
    : process(owner), port(agentPort), host_(host) {
  startWord = report.startWord;
  hasVersion = report.hasVersion;
  version = report.version;
  text1 = report.text1;
  text2 = report.text2;
  // Agents before 5.1.64 take the sockets without acknowledging them. Each number is compared
  // by itself, as the agents have always been told.
  if (hasVersion && version[0] >= 5 && version[1] >= 1 && version[2] >= 64) {
    if (hasHttp) handoverPending |= kHttpPending;
    if (hasHttps) handoverPending |= kHttpsPending;
  }
}

AgentAttach::~AgentAttach() {
  if (waiting_) waiting_->attach_ = nullptr;
  waiting_ = nullptr;
}

void AgentAttach::send(uint32_t code, uint32_t arg, const void* payload, size_t length) {
  host_.serverRequestAgent(port, code, arg, payload, length);
}

void AgentAttach::sendTerminate(bool soft) {
  send(soft ? amp::kSoftTerminate : amp::kTerminateAgent, 0);
}

void AgentAttach::request(AgentCallBack& callBack, uint32_t code, uint32_t arg, const void* payload,
                          size_t length) {
  send(code, arg, payload, length);
  if (waiting_ && waiting_ != &callBack) waiting_->attach_ = nullptr;
  callBack.detachFromAgent();
  waiting_ = &callBack;
  callBack.attach_ = this;
}

void AgentAttach::ping(const adt::String& reason) {
  pingTick = host_.clock().nowMs();
  if (probeTick == 0 || !reason.empty()) {
    adt::String line = "Пингую агент \"" + process.name + "\"";
    if (!reason.empty()) line += ", причина: " + reason;
    adt::log(adt::LOG_INFO, line + "...");
  }
  if (probeTick == 0) probeTick = pingTick;
  send(amp::kPing, 0);
}

void AgentAttach::probeOk(const adt::String& text) {
  adt::log(adt::LOG_INFO, "..." + process.label() + ": " + text);
  probeTick = 0;
  pingTick = 0;
}

bool AgentAttach::deliverAnswer(const uint8_t* datagram, size_t size) {
  AgentCallBack* callBack = waiting_;
  if (!callBack) return false;
  callBack->detachFromAgent();
  callBack->agentAnswer(datagram, size);
  return true;
}

uint32_t AgentAttach::reportedVersion() const {
  if (!hasVersion) return 0;
  return adt::makeVersion(version[0], version[1], version[2]);
}

}  // namespace agents
