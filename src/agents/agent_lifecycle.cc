// The supervision step of one agent instance: starts on schedule, the launch, the watch over
// starting and stopping processes, and the daily restart times.
#include "adt/log.h"
#include "agents/agent.h"
#include "config/schedule.h"

namespace agents {

namespace {

constexpr uint64_t kUptimeBeforeFirstStartMs = 300000;  // run_at_least_once waits this long
constexpr uint64_t kTerminateRepeatMs = 1000;           // a linked agent is reminded this often
constexpr uint64_t kUnlinkedStopMs = 3000;              // an unlinked process is killed after
constexpr uint64_t kSlowStartMs = 300000;               // no start report within: killed

adt::String elapsed(uint64_t ms) { return " (" + std::to_string(ms) + "мс)"; }

// Closes the restart-time pass however the step ends.
class RestartPass {
 public:
  explicit RestartPass(Agent& agent) : agent_(agent) { agent_.conf.restartTime.beginPass(); }
  ~RestartPass() { agent_.conf.restartTime.endPass(); }
  RestartPass(const RestartPass&) = delete;
  RestartPass& operator=(const RestartPass&) = delete;

 private:
  Agent& agent_;
};

}  // namespace

bool Agent::quietUntilNextCheck(uint64_t now) {
  if (now - lastCheckTick_ >= kQuietCheckMs || !run || run->finished || !run->process) {
    return false;
  }
  AgentProcess& p = *run->process;
  if (!p.link || p.stopRequest || p.link->probeTick) return false;
  return !p.handle->mayHaveEnded() && !p.handle->outputMayBeWaiting();
}

void Agent::runOnce() {
  const uint64_t now = host.clock().nowMs();
  // Its load score and restart times stay as the last checks left them.
  if (quietUntilNextCheck(now)) return;
  lastCheckTick_ = now;
  RestartPass restartPass(*this);
  load.score = 0;

  // Version upkeep.
  if (conf.args.empty()) {
    version.reset();
  } else if (AgentVersionStore* store = host.versionStore()) {
    if (!storeGeneration || *storeGeneration != store->generation()) selectVersion();
  }

  if (run && run->finished) cleanup();

  if (!run) {  // Idle
    load.statistics.fill(0);
    if (removed || locked() || host.stopping() || failedRecently(now, kAutoStartHoldOffMs)) {
      return;
    }
    if (conf.runAtLeastOnce && !startTick && now > kUptimeBeforeFirstStartMs) {
      agentStartProcess("runOnce", false);
    } else if (const config::SchedEntry* entry =
                   config::findDueEntry(conf.sched, scheduleMark, host.clock().localNow())) {
      agentStartProcess("запуск по расписанию \"" + entry->text + "\"", false);
    }
    return;
  }

  AgentProcess* p = run->checkProcess(true);
  // Every pass: an agent whose output is not read blocks once the pipe is full.
  if (p && !run->finished && p->handle->outputMayBeWaiting()) p->pumpOutput();
  if (!p) {
    if (!run->finished) {  // Start pending
      try {
        run->launch();
      } catch (const std::exception& e) {
        // Logged and notified by the launch; the hold-off keeps automatic starts away.
        run->finished = true;
        earlyFailTick = now;
        stopReason = e.what();
      }
    } else {
      load.score = kLoadUnavailable;
    }
    return;
  }
  if (run->finished) {  // ended just now; cleaned up on the next pass
    load.score = kLoadUnavailable;
    return;
  }

  if (p->stopRequest) {  // Stopping
    load.score = kLoadUnavailable;
    StopRequest& stop = *p->stopRequest;
    if (p->link) {
      const uint64_t waited = now - stop.startTick;
      if (waited > stop.timeout) {
        p->kill("процесс агента не реагирует на ARQ_TERMINATE_AGENT" + elapsed(waited), false,
                host.leaveHangedAgents());
      } else if (now - stop.lastSendTick > kTerminateRepeatMs) {
        p->link->sendTerminate(waited < stop.grace);
        stop.lastSendTick = now;
      }
    } else if (!p->attached) {
      // It cannot hear the request; a process found running is left to its own link.
      const uint64_t waited = now - stop.lastSendTick;
      if (waited > kUnlinkedStopMs) {
        p->kill("процесс агента не хочет завершаться" + elapsed(waited), false, false);
      }
    }
    return;
  }

  if (!p->link) {  // Starting
    const uint64_t waited = now - p->startTick;
    if (waited > kSlowStartMs) {
      p->kill("слишком долго стартует" + elapsed(waited), false, false);
      return;
    }
  } else {  // Running
    runHealthChecks(now);
  }
  if (load.score != kLoadUnavailable) compareWithGroup();
}

void Agent::reattach(uint32_t pid) {
  startReason = "неизвестна (найден работающий процесс)";
  platform::Clock& clock = host.clock();
  scheduleMark = platform::toFractionalDays(clock.localNow());
  startTick = clock.nowMs();
  run = std::make_unique<AgentRun>(*this);
  try {
    run->attachProcess(pid);
  } catch (...) {
    run.reset();
    throw;
  }
  run->softStop("перезапуск AM", false, 3600000, 3600000);
}

}  // namespace agents
