#include "clients/agents_list.h"

#include <cstring>
#include <unordered_map>

#include "adt/tagged_reader.h"
#include "clients/admin_host.h"
#include "clients/agent_request.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/rq_agent_link.h"
#include "platform/net.h"
#include "platform/system_status.h"

namespace clients {
namespace {

constexpr uint8_t kFilterApplication = 61;
constexpr uint8_t kFilterServer = 44;
constexpr uint8_t kTagMemory = 93;
constexpr uint8_t kTagRecord = 52;
constexpr uint8_t kTagDescription = 55;
constexpr uint8_t kTagWorkerKind = 120;

void writeDouble(adt::TaggedWriter& out, uint8_t tag, double value) {
  out.writeTag(tag, &value, sizeof value);
}

adt::String dotted(uint32_t networkOrder) {
  uint8_t o[4];
  std::memcpy(o, &networkOrder, sizeof o);
  return std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
         std::to_string(o[3]);
}

// The machine: memory from the platform, processor load from the manager's own samples.
void writeMachine(ClientHost& host, adt::TaggedWriter& out) {
  adt::MemoryTaggedWriter nested;
  platform::MemoryStatus memory;
  if (platform::readMemoryStatus(memory) && memory.totalBytes != 0) {
    const uint64_t used = memory.totalBytes - memory.availableBytes;
    nested.writeInt(1, static_cast<int32_t>(used * 100 / memory.totalBytes));
    nested.writeInt(3, static_cast<int32_t>(memory.totalBytes / 1024));
    nested.writeInt(4, static_cast<int32_t>(used / 1024));
  }
  double load[3];
  if (host.processorLoad(load)) {
    static constexpr uint8_t kLoadTags[3] = {2, 5, 6};  // 1, 5 and 15 minutes
    for (int i = 0; i < 3; ++i) {
      if (load[i] >= 0) writeDouble(nested, kLoadTags[i], load[i]);
    }
  }
  if (!nested.isEmpty()) out.writeNested(kTagMemory, nested);
}


}  // namespace

bool agentMatches(const agents::Agent& agent, const adt::String& application,
                  const adt::String& server) {
  const config::AgentConf& conf = agent.conf;
  bool appOk = false;
  if (application.empty()) appOk = conf.application.empty();
  for (const adt::String& app : conf.application) {
    if (app == application || (application.empty() && app == "default")) appOk = true;
  }
  if (!appOk) return false;
  const config::ServerNameFilter& names = conf.serverName;
  if (names.any || (server.empty() && names.names.empty())) return true;
  for (const adt::String& name : names.names) {
    if (name == server) return true;
  }
  return false;
}

int32_t agentState(const agents::Agent& agent) {
  const agents::AgentProcess* process = agent.process();
  if (!agent.run || agent.run->finished) return 0;
  if (process && process->stopRequest) return 3;
  if (process && process->link) return 2;
  return 1;
}

void writeAgentStatus(const agents::Agent& agent, adt::TaggedWriter& out) {
  static constexpr const char* kStateTexts[4] = {"остановлен", "запускается", "работает",
                                                 "останавливается"};
  const config::AgentConf& conf = agent.conf;
  const agents::AgentProcess* process = agent.process();
  const int32_t state = agentState(agent);
  const char* stateText = kStateTexts[state];
  out.writeInt(57, state);
  out.writeString(56, stateText);
  // The settings that say what is run and where.
  if (!conf.cmd.empty()) out.writeString(10, conf.cmd);
  if (!conf.args.empty()) out.writeString(26, conf.args);
  if (!conf.dir.empty()) out.writeString(33, conf.dir);
  if (agent.version) out.writeString(90, adt::versionText(agent.version->number()));
  out.writeInt(108, conf.redirect.empty() ? 0 : 1);
  if (!conf.redirect.empty()) out.writeString(105, conf.redirect);
  out.writeInt(98, static_cast<int32_t>(conf.masks.entries().size()));
  adt::String filter = conf.masks.text(config::kMaskAllow);
  const adt::String bans = conf.masks.text(config::kMaskBan);
  if (!bans.empty()) filter += " ban:" + bans;
  out.writeString(111, filter);
  if (!agent.startReason.empty()) out.writeString(84, agent.startReason);
  if (!agent.stopReason.empty()) out.writeString(58, agent.stopReason);
  if (agent.locked()) out.writeString(69, dotted(agent.lockedBy.address));
  if (!conf.icon.empty()) out.writeString(53, conf.icon);
  out.writeInt(20, agent.clientCount);
  if (state == 0 || !process) return;
  out.writeInt(18, static_cast<int32_t>(process->pid));
  writeDouble(out, 27, process->startTime);
  // The newest of the manager's own samples of this process.
  if (const agents::ProcessSample* own =
          agent.processSamples.newestOf(process->pid, process->startTime)) {
    adt::MemoryTaggedWriter sample;
    writeProcessSample(*own, sample);
    out.writeNested(92, sample);
  }
  if (!process->link) return;
  out.writeInt(19, agent.run->clientPort);
  out.writeInt(23, static_cast<int32_t>(agent.load.reportedClients));
  writeDouble(out, 85, agent.startedTime);
  // Idle: no client for less than the idle limit of the health checks.
  const uint64_t now = agent.host.clock().nowMs();
  const uint64_t idleSince = agent.load.idleSinceTick;
  out.writeInt(109, idleSince == 0 || now - idleSince < agents::kIdleLimitMs ? 1 : 0);
  out.writeInt(59, static_cast<int32_t>(agent.load.score));
  adt::MemoryTaggedWriter statistics;
  for (size_t i = 0; i < agent.load.statistics.size(); ++i) {
    statistics.writeInt64(static_cast<uint8_t>(i + 1), agent.load.statistics[i]);
  }
  out.writeNested(29, statistics);
  uint8_t version[16];
  for (int i = 0; i < 4; ++i) {
    const uint32_t v = process->link->version[i];
    for (int b = 0; b < 4; ++b) version[i * 4 + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  out.writeTag(71, version, sizeof version);
}

void writeAgentRecords(const agents::AgentList& agents, const ListViewer& viewer,
                       const ListFilter& filter, adt::TaggedWriter& out) {
  // The worker kind of a group is the same for all its members: found once per group, not once
  // per member (a group of n would cost n * n).
  std::unordered_map<const void*, int32_t> groupKinds;
  for (const auto& record : agents) {
    const agents::Agent& agent = *record;
    if (agent.removed) continue;
    // A client that is not logged in sees one entry per agent: the first of its group.
    if (!viewer.loggedIn && agent.workerId != 0) continue;
    if (filter.present && !agentMatches(agent, filter.application, filter.server)) continue;
    // The agent's own address filter, with or without a list filter: for a client that is not
    // logged in, an agent the login would refuse as unknown is not listed either.
    if ((filter.present || !viewer.loggedIn) && !agent.conf.masks.admits(viewer.address)) continue;
    out.writeTag(kTagRecord, nullptr, 0);
    if (!agent.conf.id.empty()) out.writeString(kTagAgentId, agent.conf.id);
    out.writeString(kTagAgentName, agent.conf.name);
    out.writeString(kTagDescription, agent.conf.description);
    if (agent.workerId != 0) {
      if (viewer.revision < 2) {
        out.writeInt64(kTagWorkerId, agent.workerId);
      } else {
        out.writeInt(kTagWorkerId, agent.workerId);
      }
    }
    int32_t kind = 0;
    if (agent.heavy || !agent.group) {
      kind = workerKind(agent);
    } else {
      const auto [it, fresh] = groupKinds.try_emplace(agent.group.get(), 0);
      if (fresh) it->second = workerKind(agent);
      kind = it->second;
    }
    out.writeInt(kTagWorkerKind, kind);
    if (viewer.loggedIn) writeAgentStatus(agent, out);
  }
}

void agentsList(Client& client, adt::NioTag& element) {
  ClientHost& host = client.host();
  ListViewer viewer;
  viewer.address = clientAddress(client);
  viewer.loggedIn = client.loggedIn();
  viewer.revision = client.clientRevision();
  if (!viewer.loggedIn && !host.settings().masks.admits(viewer.address)) return;  // empty reply

  ListFilter filter;
  if (element.size() > 0) {
    adt::Bytes value;
    element.readBytes(value);
    adt::TaggedBufferReader in(value);
    filter.present = true;
    for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
      if (tag == kFilterApplication) filter.application = in.readString();
      if (tag == kFilterServer) filter.server = in.readString();
    }
  }

  // One staging buffer for every list (main thread only): a list of many agents is tens of
  // kilobytes, which a fresh writer would grow step by step and hand back on every request.
  static adt::MemoryTaggedWriter out;
  out.clear();
  // A locked manager: 1 for the address that holds the lock, 2 for any other.
  if (const AdminHost* admin = host.administration(); admin && admin->managerLockedBy() != 0) {
    const uint32_t holder = admin->managerLockedBy();
    out.writeInt(70, holder == clientSocketAddress(client).address ? 1 : 2);
    if (viewer.loggedIn) out.writeString(106, dotted(holder));
  }
  if (viewer.loggedIn) writeMachine(host, out);
  writeAgentRecords(host.agents(), viewer, filter, out);
  if (!out.isEmpty()) client.send(out);
}

}  // namespace clients
