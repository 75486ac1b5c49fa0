#include "clients/rq_agent_link.h"

#include "adt/exception.h"
#include "adt/tagged_format.h"
#include "adt/tagged_reader.h"
#include "agents/amp.h"
#include "clients/client.h"
#include "clients/client_host.h"

namespace clients {

namespace amp = agents::amp;

// ---- AgentLinkRequest ----

AgentLinkRequest::AgentLinkRequest(Client& client, const char* name, uint32_t code,
                                   bool appendAnswer)
    : AgentRequest(client, name), code_(code), append_(appendAnswer) {}

agents::AgentAttach* AgentLinkRequest::linkOf(agents::Agent& agent) {
  if (agent.run && agent.run->finished) agent.cleanup();
  agents::AgentProcess* process = agent.process();
  return process ? process->link.get() : nullptr;
}

void AgentLinkRequest::check(agents::AgentAttach&) {}

bool AgentLinkRequest::poll() {
  if (stage_ == kReady) {
    if (answerLocally()) return true;
    agents::AgentAttach* link = linkOf(target());
    if (!link) {
      stage_ = kFinished;
      return true;
    }
    check(*link);
    if (!sendToAgent(*link, code_, arg_, payload_.data(), payload_.size())) return false;
  }
  if (stage_ == kWaiting || stage_ == kAnswered) {
    if (!answerOrGone()) return false;
    if (stage_ == kAnswered && append_ && !answer_.empty()) {
      adt::MemoryTaggedWriter out;
      out.write(answer_.data(), answer_.size());
      client().send(out);
    }
    stage_ = kFinished;
  }
  return stage_ == kFinished;
}

// ---- RqAgentProxyRequest ----

RqAgentProxyRequest::RqAgentProxyRequest(Client& client, adt::NioTag& element)
    : AgentLinkRequest(client, "RqAgentProxyRequest", 0, true) {
  code_ = static_cast<uint32_t>(element.readInt());
}

bool RqAgentProxyRequest::forbiddenCode(uint32_t code) {
  switch (code) {
    case amp::kTerminateAgent:
    case amp::kStartAck:
    case amp::kUpdateNotice:
    case amp::kKillClient:
    case amp::kPing:
    case amp::kSigstopAnswer:
    case amp::kHttpSocket:
    case amp::kSoftTerminate:
    case amp::kHttpsSocket:
    case amp::kKillAllClients:
      return true;
    default:
      return amp::isReservedAgentCode(code);
  }
}

void RqAgentProxyRequest::onEnd(adt::NioTag& element) { element.readBytes(payload_); }

agents::Agent& RqAgentProxyRequest::target() { return findAgent(host(), id_, "", 0); }

agents::AgentAttach* RqAgentProxyRequest::linkOf(agents::Agent& agent) {
  agents::AgentAttach* link = AgentLinkRequest::linkOf(agent);
  if (!link || agent.run->finished) {
    throw adt::Exception("Агент \"" + id_ + "\" не запущен");
  }
  return link;
}

void RqAgentProxyRequest::check(agents::AgentAttach& link) {
  if (forbiddenCode(code_)) {
    throw adt::Exception(adt::format("Недопустимый код запроса к агенту: %u", code_));
  }
  if (link.waiting() && link.waiting() != this) {
    throw adt::Exception("Агент \"" + id_ + "\" занят обработкой запроса");
  }
}

// ---- RqAgentJavaInfo ----

RqAgentJavaInfo::RqAgentJavaInfo(Client& client, adt::NioTag& element)
    : AgentLinkRequest(client, "RqAgentJavaInfo", amp::kJavaInfo, true) {
  name_ = element.readString();
}

// ---- RqKillClient ----

RqKillClient::RqKillClient(Client& client, adt::NioTag& element)
    : AgentLinkRequest(client, "RqKillClient", amp::kKillClient, false) {
  element.readBytes(payload_);
}

// ---- RqKillAllClients ----

RqKillAllClients::RqKillAllClients(Client& client, adt::NioTag& element)
    : AgentLinkRequest(client, "RqKillAllClients", amp::kKillAllClients, false) {
  element.readBytes(value_);
}

void RqKillAllClients::check(agents::AgentAttach& link) {
  if (link.reportedVersion() < kMinVersion) {
    throw adt::Exception("Агент не поддерживает данную команду");
  }
}

// ---- RqAgentStatistics ----

RqAgentStatistics::RqAgentStatistics(Client& client, adt::NioTag&, bool processes)
    : AgentLinkRequest(client, processes ? "RqAgentProcessStatistics" : "RqAgentStatistics",
                       amp::kStatistics, true),
      processes_(processes) {}

bool RqAgentStatistics::onOther(adt::NioTag& element) {
  if (element.tag() != adt::tagged::kBlobTag) return false;
  element.readBytes(payload_);
  adt::TaggedBufferReader in(payload_);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    if (tag == 1 || tag == 2) {
      double value = 0;
      in.read(tag, &value, sizeof value);
      (tag == 1 ? from_ : to_) = value;
    } else if (tag == 3) {
      kind_ = in.readInt();
    }
  }
  stage_ = kReady;
  return true;
}

void writeAgentSamples(const agents::SampleHistory& samples, double from, double to,
                       adt::TaggedWriter& out) {
  for (const agents::RawSample& s : samples.raw()) {
    if (!(s.time > from && s.time <= to)) continue;
    out.writeTag(1, &s.time, sizeof s.time);
    out.writeBytes(adt::tagged::kBlobTag, s.raw);
    if (s.count != 0) out.writeInt(25, static_cast<int32_t>(s.count));
  }
}

void writeProcessSample(const agents::ProcessSample& s, adt::MemoryTaggedWriter& nested) {
  nested.writeInt(1, static_cast<int32_t>(s.pid));
  nested.writeInt64(2, static_cast<int64_t>(s.userMs));
  nested.writeInt64(3, static_cast<int64_t>(s.kernelMs));
  nested.writeInt64(4, static_cast<int64_t>(s.workingSetKiB));
  nested.writeInt64(5, static_cast<int64_t>(s.peakWorkingSetKiB));
  nested.writeInt64(6, static_cast<int64_t>(s.pageFileKiB));
}

void writeProcessSamples(const agents::ProcessSamples& samples, double from, double to,
                         adt::TaggedWriter& out) {
  for (const agents::ProcessSample& s : samples.all()) {
    if (!(s.time > from && s.time <= to)) continue;
    out.writeTag(1, &s.time, sizeof s.time);
    adt::MemoryTaggedWriter nested;
    writeProcessSample(s, nested);
    out.writeNested(adt::tagged::kBlobTag, nested);
  }
}

bool RqAgentStatistics::answerLocally() {
  if (!processes_ && kind_ != 0) return false;
  agents::Agent& agent = target();
  adt::MemoryTaggedWriter reply;
  if (processes_) {
    writeProcessSamples(agent.processSamples, from_, to_, reply);
  } else {
    writeAgentSamples(agent.samples, from_, to_, reply);
  }
  return finishWith(reply);
}

}  // namespace clients
