#include "agents/agent.h"

#include <algorithm>
#include <cstring>

#include "adt/exception.h"
#include "adt/hang_watch.h"
#include "adt/log.h"

namespace agents {

namespace {

constexpr uint64_t kErrorMailIntervalMs = 300000;

adt::String dotted(const adt::SocketAddress& address) {
  uint8_t octets[4];
  std::memcpy(octets, &address.address, sizeof octets);  // network byte order: a.b.c.d
  return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
         std::to_string(octets[2]) + "." + std::to_string(octets[3]);
}

}  // namespace

adt::String requiredVersionText(uint32_t verMin, uint32_t verMax) {
  const adt::String lower = adt::versionText(verMin);
  const adt::String upper = adt::versionText(verMax);
  if (lower == upper) return lower;
  const bool anyLower = verMin == 0;
  const bool anyUpper = verMax == 0xFFFFFFFF;
  if (anyLower && anyUpper) return "без ограничений";
  if (anyLower) return "<=" + upper;
  if (anyUpper) return ">=" + lower;
  return lower + "-" + upper;
}

bool usesNamedPipe(uint32_t version) {
  return version >= adt::makeVersion(5, 2, 6) ||
         (version >= adt::makeVersion(5, 1, 519) && version < adt::makeVersion(5, 2, 0));
}

config::AgentConf workerConf(const config::AgentConf& section) {
  config::AgentConf conf = section;
  conf.httpPort = 0;
  conf.httpsPort = 0;
  conf.clientPort = 0;
  return conf;
}

Agent::Agent(AgentHost& agentHost, const config::AgentConf& settings)
    : host(agentHost), conf(settings), stagedConf(settings) {
  // Interval schedules count from the last start or stop; an agent that has had neither counts
  // from when supervision began (the manager's start for the configured agents), not from the
  // epoch, which would never leave a window like "*/3m-*/1m" due.
  scheduleMark = platform::toFractionalDays(host.clock().localNow());
}

Agent::~Agent() {
  for (AgentHttpSlot*& listener : httpListener) {
    if (listener) listener->close();
    listener = nullptr;
  }
  if (group) {
    auto& members = *group;
    members.erase(std::remove(members.begin(), members.end(), this), members.end());
  }
  // A process still running is let go, not ended: it may be an agent left for the next
  // manager, or the manager is going down.
}

AgentRun* Agent::agentStartProcess(const adt::String& reason, bool byConsole) {
  adt::recordOperation("agentStartProcess");
  if (run && run->finished) cleanup();
  // A start is already under way; a second request has nothing to add.
  if (run) return run.get();
  adt::log(adt::LOG_INFO, "Запуск агента \"" + conf.name + "\", причина: " + reason + "...");
  platform::Clock& clock = host.clock();
  tasks.clear(platform::toFractionalDays(clock.localNow()));
  stopReason.clear();
  startReason = reason;
  startedByConsole = byConsole;
  scheduleMark = platform::toFractionalDays(clock.localNow());
  startTick = clock.nowMs();
  earlyFailTick.reset();
  run = std::make_unique<AgentRun>(*this);
  return run.get();
}

void Agent::selectVersion() {
  version.reset();
  if (conf.args.empty()) return;
  AgentVersionStore* store = host.versionStore();
  if (!store) return;
  bool found = false;
  uint32_t best = 0;
  AgentVersionRef bestHandle;
  for (const AgentVersionStore::Entry& entry : store->agentDistributions()) {
    if (entry.version < conf.verMin || entry.version > conf.verMax) continue;
    if (found && entry.version <= best) continue;
    AgentVersionRef deployed = store->findDeployed(entry.version);
    if (deployed) {
      if (deployed->state() == DeployState::kFailed) continue;
    } else if (entry.unusable) {
      continue;
    }
    found = true;
    best = entry.version;
    bestHandle = std::move(deployed);
  }
  if (found && !bestHandle) bestHandle = store->deploy(best);
  version = std::move(bestHandle);
  storeGeneration = store->generation();
}

void Agent::cleanup() {
  for (AgentHttpSlot* listener : httpListener) {
    if (listener) listener->answerAll(stopReason);
  }
  run.reset();  // the process record closes its handles and pipe; the version is let go
  applyStaged();
  load.lastTelemetryTick = 0;
  load.reportedLoad = 0;
  load.reportedClients = 0;
  // The idle mark belongs to the run that made it: a new run must not inherit a stale one.
  load.idleSinceTick = 0;
  load.clientsSeen = false;
  load.hangPingTick = 0;
  if (removed && !deletionQueued_) {
    deletionQueued_ = true;
    host.queueAgentDeletion(*this);
  }
}

void Agent::syncHttpListeners() {
  const uint16_t wanted[2] = {stagedConf.httpPort, stagedConf.httpsPort};
  for (int i = 0; i < 2; ++i) {
    AgentHttpSlot*& listener = httpListener[i];
    const uint16_t have = listener ? listener->port() : 0;
    if (have == wanted[i]) {
      if (listener && listener->setAside()) listener->resume();
      continue;
    }
    if (listener) {
      listener->close();
      listener = nullptr;
    }
    if (wanted[i] == 0) continue;
    try {
      listener = host.openAgentHttp(*this, wanted[i], i == 1);
    } catch (const std::exception& e) {
      adt::log(adt::LOG_ERR, e.what());
    }
  }
}

void Agent::applyStaged() {
  syncHttpListeners();
  // Other version bounds or arguments: choose again on the next pass.
  if (stagedConf.args != conf.args || stagedConf.verMin != conf.verMin ||
      stagedConf.verMax != conf.verMax) {
    storeGeneration.reset();
  }
  conf = stagedConf;
}

void Agent::configure(const config::AgentConf& section) {
  if (workerId != 0) {
    stagedConf = workerConf(section);
    extHttpPort = section.httpPort;
    extHttpsPort = section.httpsPort;
  } else {
    stagedConf = section;
  }
  if (!run) {
    applyStaged();
    selectVersion();
  }
}

bool Agent::failedRecently(uint64_t now, uint64_t window) const {
  return earlyFailTick && *earlyFailTick > host.configurationTick() &&
         now - *earlyFailTick < window;
}

void Agent::lock(bool on, const adt::SocketAddress& client) {
  if (locked() && lockedBy.address != client.address) {
    throw adt::Exception("Агент заблокирован с другого IP");
  }
  const std::vector<Agent*> alone{this};
  for (Agent* member : group ? *group : alone) {
    member->lockedBy = on ? client : adt::SocketAddress{};
  }
  adt::log(adt::LOG_INFO, "Агент \"" + conf.name + "\" " + (on ? "заблокирован" : "разблокирован") +
                              " клиентом " + dotted(client));
}

bool Agent::pendingChanges(adt::String& text) const {
  bool any = false;
  const auto add = [&](const char* key) {
    text += key;
    text += "\n";
    any = true;
  };
  const AgentProcess* p = process();
  if (stagedConf.id != conf.id) add("id");
  if (stagedConf.name != conf.name || (p && p->name != stagedConf.name)) add("name");
  if (stagedConf.cmd != conf.cmd) add("cmd");
  if (stagedConf.args != conf.args) add("args");
  if (stagedConf.dir != conf.dir) add("dir");
  if (!(stagedConf.masks == conf.masks)) add("ip_mask");
  if (stagedConf.httpPort != conf.httpPort) add("http_port");
  if (stagedConf.httpsPort != conf.httpsPort) add("https_port");
  if (stagedConf.clientPort != conf.clientPort) {
    add("client_port");
  } else if (p && p->link && version && p->link->reportedVersion() != version->number()) {
    add("ver");
  }
  return any;
}

void Agent::writeSection(adt::String& text) const { config::writeAgentSection(conf, text); }

void Agent::notifyThrottled(uint64_t key, const adt::String& details, const adt::String& body) {
  const uint64_t now = host.clock().nowMs();
  const auto it = errorMailTimes.find(key);
  if (it != errorMailTimes.end() && now - it->second < kErrorMailIntervalMs) return;
  errorMailTimes[key] = now;
  host.sendError(body, details);
}

bool Agent::isRunning() const {
  const AgentProcess* p = process();
  return p && !run->finished && p->link && !p->stopRequest;
}

}  // namespace agents
