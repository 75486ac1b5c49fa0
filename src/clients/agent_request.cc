#include "clients/agent_request.h"

#include "adt/tagged_format.h"
#include "agents/amp.h"
#include "clients/client.h"
#include "clients/client_exception.h"
#include "clients/client_host.h"
#include "platform/net.h"

namespace clients {

agents::Agent* lookupAgent(ClientHost& host, const adt::String& id, const adt::String& name,
                           int32_t workerId) {
  agents::Agent* found = nullptr;
  for (const auto& agent : host.agents()) {
    // Extra workers share their section's identifier and name; the primary comes first.
    if (agent->workerId != 0) continue;
    if (!id.empty() ? agent->conf.id == id : agent->conf.name == name) {
      found = agent.get();
      break;
    }
  }
  if (!found || workerId == 0) return found;
  if (!found->group) return nullptr;
  for (agents::Agent* member : *found->group) {
    if (member->workerId == workerId) return member;
  }
  return nullptr;
}

agents::Agent& findAgent(ClientHost& host, const adt::String& id, const adt::String& name,
                         int32_t workerId) {
  if (agents::Agent* agent = lookupAgent(host, id, name, workerId)) return *agent;
  throw ClientException("Неизвестное имя агента \"" + (id.empty() ? name : id) + "\"",
                        ClientException::kUnknownAgent);
}

bool stillListed(ClientHost& host, const agents::Agent* agent) {
  for (const auto& a : host.agents()) {
    if (a.get() == agent) return true;
  }
  return false;
}

int32_t workerKind(const agents::Agent& agent) {
  if (!agent.group) return 0;
  if (agent.heavy) return 7;
  for (const agents::Agent* member : *agent.group) {
    if (member->heavy) return 3;
  }
  return 1;
}

uint32_t clientAddress(const Client& client) {
  uint32_t address = 0;
  if (!platform::parseIPv4(client.peerAddress(), &address)) return 0;
  return platform::netToHost32(address);
}

adt::SocketAddress clientSocketAddress(const Client& client) {
  adt::SocketAddress out;
  out.address = platform::hostToNet32(clientAddress(client));
  return out;
}

adt::String requestReason(const Client& client) {
  return adt::String(client.loggedIn() ? "запрос vevureroz(" : "запрос клиента(") +
         client.peerAddress() + ")";
}

int32_t readWorkerId(adt::NioTag& element) {
  if (element.size() == 8) return static_cast<int32_t>(element.readInt64());
  if (element.size() != 4) adt::tagged::throwInvalidSize(element.tag(), 8, element.size());
  return element.readInt();
}

AgentRequest::AgentRequest(Client& client, const char* name) : Request(client), label_(name) {}

ClientHost& AgentRequest::host() const { return client().host(); }

void AgentRequest::describe(adt::String& out) const {
  out += label_;
  out += "(" + std::to_string(static_cast<int>(stage_)) + ")";
}

bool AgentRequest::onMessage(adt::NioTag& element) {
  if (stage_ != kCollecting) {
    // The parameters are complete: nothing more is expected.
    adt::tagged::throwInvalidTag(0, element.tag());
  }
  switch (element.tag()) {
    case kTagAgentId:
      id_ = element.readString();
      return false;
    case kTagAgentName:
      name_ = element.readString();
      return false;
    case kTagWorkerId:
      workerId_ = readWorkerId(element);
      return false;
    case kTagEnd:
      stage_ = kReady;
      onEnd(element);
      return false;  // poll() does the work and says when it is finished
    default:
      if (!onOther(element)) adt::tagged::throwInvalidTag(kTagEnd, element.tag());
      return false;
  }
}

void AgentRequest::onEnd(adt::NioTag&) {}

bool AgentRequest::onOther(adt::NioTag&) { return false; }

void AgentRequest::agentAnswer(const uint8_t* datagram, size_t size) {
  agents::amp::Datagram d;
  if (agents::amp::decodeDatagram(datagram, size, d) == agents::amp::DecodeStatus::kOk) {
    answer_.assign(d.payload, d.payload + d.payloadSize);
  }
  stage_ = kAnswered;
}

bool AgentRequest::sendToAgent(agents::AgentAttach& link, uint32_t code, uint32_t arg,
                               const void* payload, size_t length) {
  if (link.waiting() && link.waiting() != this) return false;
  link.request(*this, code, arg, payload, length);
  stage_ = kWaiting;
  return true;
}

bool AgentRequest::answerOrGone() {
  if (stage_ == kAnswered) return true;
  if (stage_ == kWaiting && !waitingOn()) {
    stage_ = kFinished;  // no answer will come: finish without one
    return true;
  }
  return stage_ == kFinished;
}

bool AgentRequest::finishWith(adt::MemoryTaggedWriter& reply) {
  if (!reply.isEmpty()) client().send(reply);
  stage_ = kFinished;
  return true;
}

}  // namespace clients
