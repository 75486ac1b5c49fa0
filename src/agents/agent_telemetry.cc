// What the manager makes of an agent's telemetry: the client count and idle mark, the task list
// with its hang marks, the kept samples, the load statistics and the garbage-collection warning.
#include <exception>

#include "adt/log.h"
#include "agents/agent.h"
#include "agents/perf_log.h"
#include "platform/process.h"

namespace agents {

namespace {

constexpr uint64_t kGcWarningIntervalMs = 3600000;  // one warning an hour per agent at most

}  // namespace

void Agent::onTelemetry(const amp::Header& header, const uint8_t* payload, size_t size) {
  platform::Clock& clock = host.clock();
  const uint64_t now = clock.nowMs();
  const double days = platform::toFractionalDays(clock.localNow());
  load.lastTelemetryTick = now;
  load.lastTelemetryTime = days;
  load.reportedClients = header.value1;
  if (load.reportedClients == 0) {
    if (load.idleSinceTick == 0) load.idleSinceTick = now;
  } else {
    load.idleSinceTick = 0;
    load.clientsSeen = true;
  }

  amp::Telemetry t;
  try {
    t = amp::decodeTelemetry(payload, size);
  } catch (const std::exception& e) {
    // Only this datagram is lost; the tasks, samples and statistics stay as they were.
    const AgentProcess* p = process();
    adt::log(adt::LOG_ERR, "Agent::onTelemetry(" + (p ? p->label() : conf.name) + "): " + e.what());
    return;
  }

  const uint32_t pid = process() ? process()->pid : 0;
  tasks.setDictionary(t.hasDictionary, std::move(t.dictionary));
  if (t.leadingCount) samples.completeNewest(t.leadingCount);
  tasks.update(std::move(t.tasks), now, days, host.longOperationTimeoutMs());

  load.statistics = samples.compute(days);
  load.statistics[0] = int64_t{load.reportedClients} + clientCount;
  load.statistics[1] = clientCount;
  load.statistics[7] = processSamples.processorSeconds(pid, days);

  for (const amp::Sample& s : t.samples) {
    // A sample byte for byte like the newest tells nothing new about the collection time.
    if (!samples.sameAsNewest(s.raw)) checkGarbageCollection(s.values, now, days);
    samples.store(days, pid, s);
  }
}

void Agent::sampleProcess(double localDays) {
  const AgentProcess* p = process();
  if (!p || p->pid == 0 || run->finished) return;
  platform::ProcessTimes times;
  platform::ProcessMemory memory;
  if (!p->handle || !p->handle->sample(times, memory)) return;
  ProcessSample s;
  s.time = localDays;
  s.pid = p->pid;
  s.userMs = times.userMs;
  s.kernelMs = times.kernelMs;
  s.workingSetKiB = ProcessSample::kib(memory.workingSetKiB);
  s.peakWorkingSetKiB = ProcessSample::kib(memory.peakWorkingSetKiB);
  s.pageFileKiB = ProcessSample::kib(memory.pageFileKiB);
  processSamples.add(s);
}

void Agent::checkGarbageCollection(const amp::PerformanceSample& sample, uint64_t now,
                                   double days) {
  const SampleFigures& last = samples.newest();
  if (last.time == 0) return;
  const bool warnedBefore = lastGcWarningTick != 0;
  if (warnedBefore && now - lastGcWarningTick <= kGcWarningIntervalMs &&
      host.configurationTick() <= lastGcWarningTick) {
    return;
  }
  const double gc = sample.gcDays - last.gcDays;
  const double span = days - last.time;
  if (!(span > 0)) return;  // no time has passed: no share to speak of
  const double percent = gc * 100 / span;
  if (!(percent > host.warnGcPercent())) return;

  lastGcWarningTick = now;
  const adt::String subject = "Предупреждение AM: агент \"" + conf.name + "\" потратил " +
                              adt::format("%.1f", percent) + "% времени на сборку мусора";
  const adt::String head = "из последних " + adt::format("%.1f", span * 86400) +
                           " секунд работы агента, на сборку мусора было потрачено " +
                           adt::format("%.1f", gc * 86400) + " секунд";
  adt::String mail = head;
  adt::String perf = head;
  if (!tasks.tasks().empty()) {
    mail += "\n Выполняемые задачи:\n";
    perf += "\n Выполняемые задачи:\n";
    for (const TaskRecord& r : tasks.tasks()) {
      r.describe(mail, false, now);
      r.describe(perf, true, now);
    }
  }
  host.sendMessage(subject, mail);
  appendPerformanceLog(adt::logBase(), host.clock().localNow(), subject + " " + perf);
}

}  // namespace agents
