#include "clients/rq_login_to_agent.h"

#include <cstring>

#include "adt/file.h"
#include "adt/log.h"
#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/agent_request.h"
#include "clients/client.h"
#include "clients/client_exception.h"
#include "clients/client_host.h"

namespace clients {
namespace {

constexpr uint8_t kTagClientVersion = 71;
constexpr uint8_t kTagStored = 125;
constexpr uint8_t kTagWorkerKind = 120;
constexpr uint8_t kTagIcon = 117;
constexpr uint8_t kTagPort = 14;
constexpr uint8_t kTagRedirect = 107;

uint32_t littleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// "Неожиданная остановка агента[, причина: <reason>]" or "Агент останавливается", 0x1012.
[[noreturn]] void agentStopped(const agents::Agent& agent, bool stopping) {
  adt::String text = stopping ? "Агент останавливается" : "Неожиданная остановка агента";
  if (!agent.stopReason.empty()) text += ", причина: " + agent.stopReason;
  throw ClientException(text, ClientException::kAgentStopped);
}

}  // namespace

adt::String iconPath(const std::string& home, const adt::String& icon) {
  if (icon.starts_with("/")) return icon;  // the administrator's own choice of file
  const adt::String root = adt::longPath(home + "/icons");
  const adt::String name = icon.starts_with("icons/") ? icon.substr(6) : icon;
  const adt::String file = adt::longPath(root + "/" + name);
  // The home beside the icons folder holds the settings and the password store.
  if (!file.starts_with(root + "/")) return "";
  return file;
}

RqLoginToAgent::RqLoginToAgent(Client& client, adt::NioTag& element)
    : Request(client), createdMs_(client.host().clock().nowMs()), stateMs_(createdMs_) {
  if (element.tag() == kTagShort) {
    name_ = element.readString();
    state_ = 1;
  }
}

bool RqLoginToAgent::onMessage(adt::NioTag& element) {
  if (state_ != 0) adt::tagged::throwInvalidTag(0, element.tag());
  switch (element.tag()) {
    case kTagClientVersion: {
      if (element.size() != 16) adt::tagged::throwInvalidSize(element.tag(), 16, element.size());
      uint8_t v[16];
      element.readExact(v, sizeof v);
      clientVersion_ = littleEndian32(v) << 24 | (littleEndian32(v + 4) & 0xFF) << 16 |
                       (littleEndian32(v + 8) & 0xFFFF);
      return false;
    }
    case kTagWorkerId:
      workerId_ = readWorkerId(element);
      return false;
    case kTagStored:
      stored125_ = element.readInt();
      return false;
    case kTagPort:
      name_ = element.readString();
      state_ = 1;
      stateMs_ = client().host().clock().nowMs();
      return false;  // poll() resolves it
    case kTagEnd:
      state_ = 3;
      return true;  // given up by the client: no reply
    default:
      adt::tagged::throwInvalidTag(kTagPort, element.tag());
  }
}

bool RqLoginToAgent::poll() {
  const uint64_t now = client().host().clock().nowMs();
  if (state_ == 1) resolveAndStart(now);
  if (state_ == 2) waitForStart(now);
  return state_ == 3;
}

bool RqLoginToAgent::holdsConnection(uint64_t nowMs) {
  const uint64_t spent = nowMs > stateMs_ ? nowMs - stateMs_ : 0;
  if (state_ == 1) return spent < kResolveHoldMs;
  if (state_ == 2) return spent < kStartHoldMs;
  return false;
}

void RqLoginToAgent::describe(adt::String& out) const {
  out += "RqLoginToAgent(" + std::to_string(state_) + ")";
}

void RqLoginToAgent::unknown() const {
  // The name is the client's: cut, so that a huge one cannot flood the log with its error.
  throw ClientException("Неизвестное имя агента \"" + adt::clip(name_) + "\"",
                        ClientException::kUnknownAgent);
}

agents::Agent& RqLoginToAgent::resolve() {
  ClientHost& host = client().host();
  if (agents::Agent* agent = lookupAgent(host, "", name_, 0)) return *agent;
  // "base#n": worker n of the agent named base.
  const size_t hash = name_.rfind('#');
  if (hash == adt::String::npos || hash == 0 || hash + 1 >= name_.size()) unknown();
  int32_t n = 0;
  for (size_t i = hash + 1; i < name_.size(); ++i) {
    const char c = name_[i];
    if (c < '0' || c > '9' || n > 100000) unknown();
    n = n * 10 + (c - '0');
  }
  if (n == 0 || (workerId_ != 0 && workerId_ != n)) unknown();
  agents::Agent* base = lookupAgent(host, "", name_.substr(0, hash), 0);
  if (!base || !lookupAgent(host, base->conf.id, base->conf.name, n)) unknown();
  workerId_ = n;
  return *base;
}

void RqLoginToAgent::resolveAndStart(uint64_t now) {
  ClientHost& host = client().host();
  const uint32_t address = clientAddress(client());
  // The agent's existence is not revealed to a filtered address.
  if (!host.settings().masks.admits(address)) unknown();
  agents::Agent& base = resolve();
  if (!client().loggedIn() && !base.conf.masks.admits(address)) unknown();
  if (base.locked() && base.lockedBy.address != clientSocketAddress(client()).address) {
    throw ClientException("Агент \"" + base.conf.name + "\" заблокирован",
                          ClientException::kAgentLocked);
  }
  if (!base.conf.redirect.empty()) {
    reply(base);
    return;
  }
  agents::Agent* chosen = base.pickWorker(workerId_, false);
  if (chosen->isRunning()) {
    chosen->lastClientLoginTick = now;
    reply(*chosen);
    return;
  }
  if (chosen->run && chosen->run->finished) chosen->cleanup();
  if (!chosen->run) {
    if (chosen->failedRecently(now, agents::kLoginStartHoldOffMs)) agentStopped(*chosen, false);
    chosen->agentStartProcess(requestReason(client()), client().loggedIn());
  }
  agent_ = chosen;
  state_ = 2;
  stateMs_ = now;
}

void RqLoginToAgent::waitForStart(uint64_t now) {
  ClientHost& host = client().host();
  if (!stillListed(host, agent_)) {
    throw ClientException("Неожиданная остановка агента", ClientException::kAgentStopped);
  }
  agents::Agent& agent = *agent_;
  agents::AgentProcess* process = agent.run ? agent.run->checkProcess() : nullptr;
  if (!agent.run || agent.run->finished) agentStopped(agent, false);
  if (process && process->stopRequest) agentStopped(agent, true);
  if (agent.isRunning()) {
    agent.lastClientLoginTick = now;
    reply(agent);
    return;
  }
  // The console does not wait for slow starts.
  if (client().loggedIn() && now - createdMs_ >= kConsoleWaitMs) state_ = 3;
}

void RqLoginToAgent::reply(agents::Agent& agent) {
  adt::MemoryTaggedWriter out;
  if (const int32_t kind = workerKind(agent)) out.writeInt(kTagWorkerKind, kind);
  if (!agent.conf.icon.empty() && clientVersion_ > kIconClientVersion) {
    const adt::String path = iconPath(agent.host.homePath(), agent.conf.icon);
    try {
      if (path.empty()) throw adt::Exception("outside the icons folder");
      out.writeBytes(kTagIcon, adt::readWholeFile(path));
    } catch (const adt::Exception& e) {
      adt::log(adt::LOG_WARN, "failed to read agent icon '" + agent.conf.icon + "' " + e.text());
    }
  }
  if (!agent.conf.redirect.empty()) {
    out.writeString(kTagRedirect, agent.conf.redirect);
  } else {
    out.writeInt(kTagPort, agent.run ? agent.run->clientPort : 0);
  }
  client().send(out);
  state_ = 3;
}

}  // namespace clients
