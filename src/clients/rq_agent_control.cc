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
constexpr uint8_t kTagTaskHead = 59;
constexpr uint8_t kTagTaskBody = 76;
constexpr uint8_t kTagDecoding = 5;
constexpr uint8_t kTagListTime = 90;
constexpr uint8_t kTagHistoryText = 14;

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

namespace {

void writeTaskGroup(const agents::TaskRecord& record, const double* finishTime, uint64_t now,
                    adt::TaggedWriter& out) {
  const agents::amp::Task& t = record.task;
  const uint32_t head[5] = {t.id, static_cast<uint32_t>(t.type), static_cast<uint32_t>(t.op),
                            t.pulse, t.thread};
  uint8_t bytes[20];
  for (int i = 0; i < 5; ++i) {
    for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<uint8_t>(head[i] >> (8 * b));
  }
  out.writeTag(kTagTaskHead, bytes, sizeof bytes);
  adt::MemoryTaggedWriter nested;
  nested.writeInt(1, t.rq);
  const uint64_t still = record.hangTick != 0 && now > record.hangTick ? now - record.hangTick : 0;
  nested.writeInt64(2, static_cast<int64_t>(still));
  if (finishTime) nested.writeTag(3, finishTime, sizeof *finishTime);
  nested.writeInt(4, static_cast<int32_t>(t.rqTime));
  nested.writeInt(5, t.blocked ? 1 : 0);
  nested.writeString(6, t.contextMessage);
  const uint8_t extra[2] = {static_cast<uint8_t>(t.extra), static_cast<uint8_t>(t.extra >> 8)};
  nested.writeTag(7, extra, sizeof extra);
  nested.writeTag(9, &t.user, sizeof t.user);
  if (!finishTime && !t.stack.empty()) nested.writeString(13, t.stack);
  out.writeNested(kTagTaskBody, nested);
}

}  // namespace

void writeTaskList(const agents::TaskList& tasks, bool history, uint64_t now,
                   adt::TaggedWriter& out) {
  const size_t count = tasks.tasks().size() + (history ? tasks.history().size() : 0);
  out.writeInt(kTagTaskCount, static_cast<int32_t>(count));
  for (const agents::TaskRecord& record : tasks.tasks()) writeTaskGroup(record, nullptr, now, out);
  if (tasks.hasDictionary()) {
    adt::String decoding;
    tasks.describeDecoding(decoding);
    out.writeString(kTagDecoding, decoding);
  }
  const double time = tasks.updateTime();
  out.writeTag(kTagListTime, &time, sizeof time);
  if (!history) return;
  for (const agents::FinishedTask& finished : tasks.history()) {
    writeTaskGroup(finished.record, &finished.finishTime, now, out);
    if (!finished.record.task.stack.empty()) {
      out.writeString(kTagHistoryText, finished.record.task.stack);
    }
  }
}

bool RqAgentThreads::poll() {
  if (stage_ != kReady) return stage_ == kFinished;
  agents::Agent& target = agent();
  settle(target);
  adt::MemoryTaggedWriter reply;
  writeTaskList(target.tasks, (flags_ & 1) != 0, host().clock().nowMs(), reply);
  return finishWith(reply);
}

void RqAgentThreads::describe(adt::String& out) const { out += "RqAgentThreads()"; }

}  // namespace clients
