// The health checks of a running agent, made on every supervision pass: telemetry age, the hang
// probe, hung tasks, a newer version, idleness without clients; and the load score that
// compares the workers of one section.
#include "adt/log.h"
#include "agents/agent.h"
#include "config/schedule.h"

namespace agents {

namespace {

constexpr uint64_t kTelemetryTimeoutMs = 120000;  // silence longer than this stops the agent
constexpr uint64_t kProbeTimeoutMs = 15000;       // a hang probe must be answered within
constexpr uint64_t kProbeRepingMs = 1000;         // pings during a probe, at most this often
// After an answered probe, a task that still hangs while clients are served is asked about
// again only this much later: the agent has shown that it lives, and the question would
// otherwise go out (and be logged with the task list) on every pass.
constexpr uint64_t kHangRepingMs = 60000;
constexpr uint64_t kCheckStopTimeoutMs = 60000;
constexpr uint64_t kVersionStopMs = 3600000;  // time-out and grace for a newer version
constexpr uint32_t kSuspectScore = 1000;      // added while a hang is being looked into

adt::String elapsed(uint64_t ms) { return " (" + std::to_string(ms) + "мс)"; }

}  // namespace

void Agent::runHealthChecks(uint64_t now) {
  AgentAttach& link = *process()->link;

  // 1. Telemetry age. The start report counts as the first telemetry.
  const uint64_t silent = now - load.lastTelemetryTick;
  if (silent > kTelemetryTimeoutMs) {
    run->softStop("нет телеметрии" + elapsed(silent), true, kCheckStopTimeoutMs, 0);
    load.score = kLoadUnavailable;
    return;
  }

  // 2. A hang probe is running.
  if (link.probeTick) {
    keepRestartArmed();
    if (tasks.hungIndex() == 0) {
      link.probeOk("нет зависших задач");
      load.score += kSuspectScore;
    } else if (now - link.probeTick > kProbeTimeoutMs) {
      adt::String text =
          "не прошел проверку на зависание задачи" + elapsed(now - link.probeTick) + ":\n";
      tasks.describe(text, now);
      tasks.describeDecoding(text);
      run->softStop(text, true, kCheckStopTimeoutMs, 0);
      load.score = kLoadUnavailable;
    } else if (now - link.pingTick > kProbeRepingMs) {
      link.ping("");
      load.score += kSuspectScore;
    }
    return;
  }

  // 3. A hung task.
  if (const TaskRecord* hung = tasks.hungTask()) {
    keepRestartArmed();
    adt::String text = "зависание задачи:\n";
    if (load.reportedClients > 0) {
      load.score += kSuspectScore;
      if (load.hangPingTick != 0 && now - load.hangPingTick <= kHangRepingMs) return;
      hung->describe(text, true, now);
      tasks.describeDecoding(text);
      load.hangPingTick = now;
      link.ping(text);
    } else {
      tasks.describe(text, now);
      tasks.describeDecoding(text);
      run->softStop(text, true, kCheckStopTimeoutMs, 0);
      load.score = kLoadUnavailable;
    }
    return;
  }
  load.hangPingTick = 0;

  // 4. No hang: a newer version, idleness, the restart times.
  if (version && link.hasVersion && version->number() != link.reportedVersion() &&
      version->state() == DeployState::kReady) {
    run->softStop("рекомендуется версия " + adt::versionText(version->number()), false,
                  kVersionStopMs, kVersionStopMs);
    load.score = kLoadUnavailable;
    return;
  }
  if (checkRestartTime()) {
    load.score = kLoadUnavailable;
    return;
  }
  // Idle only counts once a client has come and gone: an agent kept running for clients to
  // come is not stopped for their absence.
  if (load.clientsSeen && load.idleSinceTick != 0 && load.idleSinceTick > lastClientLoginTick &&
      now - load.idleSinceTick > kIdleLimitMs &&
      !config::findDueEntry(conf.sched, scheduleMark, host.clock().localNow())) {
    run->softStop("простаивает без клиентов" + elapsed(now - load.idleSinceTick), false,
                  kCheckStopTimeoutMs, 0);
    load.score = kLoadUnavailable;
  }
}

void Agent::keepRestartArmed() { conf.restartTime.keepArmed(host.clock().localNow()); }

bool Agent::checkRestartTime() {
  const platform::LocalTime local = host.clock().localNow();
  conf.restartTime.keepArmed(local);
  if (std::optional<config::RestartRequest> restart = conf.restartTime.checkRestart(local)) {
    run->softStop(restart->reason, false, restart->timeoutMs, restart->graceMs);
    return true;
  }
  return false;
}

void Agent::compareWithGroup() {
  if (!group || group->size() < 2) return;
  load.statistics[0] = int64_t{load.reportedClients} + clientCount;
  load.statistics[1] = clientCount;
  const std::vector<Agent*>& members = *group;
  if (members.size() <= kExactGroupLimit) {
    for (const Agent* other : members) {
      if (other != this) load.score += loadPenalty(load.statistics, other->load.statistics);
    }
    return;
  }
  // The others' statistics as the first member to ask in this pass found them.
  Agent& primary = *members.front();
  if (!primary.groupRanking) primary.groupRanking = std::make_unique<Ranking>();
  Ranking& r = *primary.groupRanking;
  const uint64_t now = host.clock().nowMs();
  auto row = r.rows.find(this);
  if (r.ranking.size() != members.size() || now - r.builtMs >= kRankingMs || row == r.rows.end() ||
      members[row->second] != this) {
    std::vector<LoadStatistics> rows;
    rows.reserve(members.size());
    r.rows.clear();
    for (size_t i = 0; i < members.size(); ++i) {
      rows.push_back(members[i]->load.statistics);
      r.rows[members[i]] = i;
    }
    r.ranking.build(std::move(rows));
    r.builtMs = now;
    row = r.rows.find(this);
    if (row == r.rows.end()) return;  // not a member of its own group: nothing to compare
  }
  load.score += r.ranking.penalty(load.statistics, row->second);
}

}  // namespace agents
