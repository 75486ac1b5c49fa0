#include "clients/rq_agent_control.h"

#include "adt/tagged_format.h"
#include "agents/amp.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "platform/clock.h"

namespace clients {
namespace {

constexpr uint8_t kTagMode = 109;
constexpr uint8_t kTagTimeout = 110;
constexpr uint8_t kTagInfoText = 96;
constexpr uint8_t kTagInfoAnswer = 37;
constexpr uint8_t kTagSettingsText = 1;
constexpr uint8_t kTagThreadFlags = 120;
constexpr uint8_t kTagTaskCount = 60;

// Cleans up a run whose process is known to be gone, so the record shows what is.
void settle(agents::Agent& agent) {
  if (agent.run && agent.run->finished) agent.cleanup();
}

}  // namespace

// ---- RqStopAgent ----

RqStopAgent::RqStopAgent(Client& client, adt::NioTag& element)
    : AgentRequest(client, "RqStopAgent"), createdMs_(client.host().clock().nowMs()) {
  name_ = element.readString();
}

uint64_t RqStopAgent::timeoutFor(int32_t mode, uint64_t timeoutMs) {
  if (timeoutMs != 0) return timeoutMs < kMinTimeoutMs ? kMinTimeoutMs : timeoutMs;
  return mode == 1 ? kGraceTimeoutMs : kMinTimeoutMs;
}

uint64_t RqStopAgent::graceFor(int32_t mode, uint64_t timeout) {
  return mode == 1 ? timeout - kMinTimeoutMs : 0;
}

bool RqStopAgent::onOther(adt::NioTag& element) {
  if (element.tag() == kTagMode) {
    mode_ = element.readInt();
    modeGiven_ = true;
    return true;
  }
  if (element.tag() == kTagTimeout) {
    const int32_t t = element.readInt();
    timeoutMs_ = t > 0 ? static_cast<uint64_t>(t) : 0;
    return true;
  }
  return false;
}

bool RqStopAgent::replyStopped() {
  adt::MemoryTaggedWriter reply;
  reply.writeTag(kTagDone, nullptr, 0);
  return finishWith(reply);
}

bool RqStopAgent::poll() {
  const uint64_t now = host().clock().nowMs();
  if (stage_ == kReady) {
    agents::Agent& target = agent();
    settle(target);
    const adt::String reason = requestReason(client());
    if (!target.run) return replyStopped();
    if (!target.process()) {
      // A start not launched yet is dropped: nothing runs afterwards.
      target.run->finish(reason);
      target.stopReason = reason;
      target.cleanup();
      return replyStopped();
    }
    if (mode_ == 2) {
      target.process()->kill(reason, true, false);
      stage_ = kFinished;
      return true;
    }
    const uint64_t timeout = timeoutFor(mode_, timeoutMs_);
    target.run->softStop(reason, false, timeout, graceFor(mode_, timeout));
    agent_ = &target;
    stage_ = kWaiting;
  }
  if (stage_ == kWaiting) {
    if (!stillListed(host(), agent_)) return replyStopped();
    agents::AgentRun* run = agent_->run.get();
    if (run) run->checkProcess();
    if (!run || run->finished) return replyStopped();
    if (modeGiven_ && now - createdMs_ >= kModeWaitMs) {
      stage_ = kFinished;
      return true;
    }
  }
  return stage_ == kFinished;
}

bool RqStopAgent::holdsConnection(uint64_t) { return stage_ == kWaiting; }

// ---- RqLockAgent ----

RqLockAgent::RqLockAgent(Client& client, adt::NioTag& element)
    : Request(client), lock_(element.readInt() != 0) {}

bool RqLockAgent::onMessage(adt::NioTag& element) {
  const uint8_t tag = element.tag();
  if (tag != kTagAgentId && tag != kTagAgentName) adt::tagged::throwInvalidTag(kTagAgentId, tag);
  const adt::String value = element.readString();
  agents::Agent& agent = tag == kTagAgentId ? findAgent(client().host(), value, "", 0)
                                            : findAgent(client().host(), "", value, 0);
  agent.lock(lock_, clientSocketAddress(client()));
  adt::MemoryTaggedWriter reply;
  reply.writeTag(kTagDone, nullptr, 0);
  client().send(reply);
  return true;
}

void RqLockAgent::describe(adt::String& out) const { out += "RqLockAgent"; }

// ---- RqAgentInfo ----

RqAgentInfo::RqAgentInfo(Client& client, adt::NioTag& element)
    : AgentRequest(client, "RqAgentInfo"), code_(element.readInt()) {}

adt::String RqAgentInfo::startText(double startTime, uint64_t uptimeMs) {
  const platform::LocalTime t = platform::fromFractionalDays(startTime);
  const uint64_t s = uptimeMs / 1000;
  return adt::format("Время запуска агента: %02d.%02d.%04d %02d:%02d:%02d\r\n", t.day, t.month,
                     t.year, t.hour, t.minute, t.second) +
         adt::format("Время работы агента: %d:%02d:%02d:%02d (дни:часы:минуты:секунды)\r\n\r\n",
                     static_cast<int>(s / 86400), static_cast<int>(s / 3600 % 24),
                     static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
}

bool RqAgentInfo::poll() {
  if (stage_ == kReady) {
    agents::Agent& target = agent();
    settle(target);
    agents::AgentProcess* process = target.process();
    if (!process || target.run->finished) {
      adt::String text = "Агент остановлен";
      if (!target.stopReason.empty()) text += ", причина: " + target.stopReason;
      reply_.writeString(kTagInfoText, text);
      return finishWith(reply_);
    }
    if (process->link && process->link->waiting()) return false;  // busy: next time
    const uint64_t now = host().clock().nowMs();
    reply_.writeString(
        kTagInfoText,
        startText(process->startTime, now > process->startTick ? now - process->startTick : 0));
    if (!process->link) return finishWith(reply_);
    sendToAgent(*process->link, agents::amp::kAgentInfo, static_cast<uint32_t>(code_), nullptr, 0);
  }
  if (stage_ == kWaiting || stage_ == kAnswered) {
    if (!answerOrGone()) return false;
    if (stage_ == kAnswered) {
      reply_.writeBytes(kTagInfoAnswer, answer_);
      reply_.writeTag(kTagEnd, nullptr, 0);
    }
    return finishWith(reply_);
  }
  return stage_ == kFinished;
}

// ---- RqAgentSettings ----

RqAgentSettings::RqAgentSettings(Client& client, adt::NioTag&)
    : AgentRequest(client, "RqAgentSettings") {}

bool RqAgentSettings::poll() {
  if (stage_ != kReady) return stage_ == kFinished;
  adt::String text;
  agent().writeSection(text);
  adt::MemoryTaggedWriter reply;
  reply.writeString(kTagSettingsText, text);
  return finishWith(reply);
}

void RqAgentSettings::describe(adt::String& out) const { out += "RqAgentSettings"; }

// ---- RqAgentThreads ----

RqAgentThreads::RqAgentThreads(Client& client, adt::NioTag& element)
    : AgentRequest(client, "RqAgentThreads") {
  name_ = element.readString();
}

bool RqAgentThreads::onOther(adt::NioTag& element) {
  if (element.tag() != kTagThreadFlags) return false;
  flags_ = element.readInt();
  return true;
}

bool RqAgentThreads::poll() {
  if (stage_ != kReady) return stage_ == kFinished;
  settle(agent());
  // The records keep no task lists yet: the list is empty, history or not.
  adt::MemoryTaggedWriter reply;
  reply.writeInt(kTagTaskCount, 0);
  return finishWith(reply);
}

void RqAgentThreads::describe(adt::String& out) const { out += "RqAgentThreads()"; }

}  // namespace clients
