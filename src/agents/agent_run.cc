#include "agents/agent_run.h"

#include "adt/exception.h"
#include "adt/log.h"
#include "agents/agent.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"

namespace agents {

namespace {

adt::String quoted(const adt::String& text) { return "\"" + text + "\""; }

// home/log/<id>/<id>.out, its directories made; empty (no file) when they cannot be.
std::string outputPath(const Agent& agent) {
  const std::string part = agentFileComponent(agent.conf.id, agent.conf.name);
  const std::string dir = agent.host.homePath() + "/log/" + part;
  if (!platform::createDirectory(agent.host.homePath() + "/log") ||
      !platform::createDirectory(dir)) {
    adt::log(adt::LOG_ERR, "agent output '" + dir + "': " +
                               platform::systemErrorText(platform::lastError()));
    return {};
  }
  return dir + "/" + part + ".out";
}

// How an unexpected end is told: a process ended by a signal did not end by itself.
adt::String endText(const platform::ExitStatus& status) {
  if (status.known && status.signaled) {
    return "процесс завершён сигналом " + std::to_string(status.code) + " (" +
           platform::signalName(status.code) + ")";
  }
  return "процесс самозавершился";
}

}  // namespace

// ---- AgentProcess ----

AgentProcess::AgentProcess(AgentRun& owner, adt::String processName, bool usesNamedPipe,
                           std::unique_ptr<AgentProcessHandle> processHandle, bool wasAttached)
    : run(owner),
      name(std::move(processName)),
      namedPipe(usesNamedPipe),
      pid(processHandle->pid()),
      handle(std::move(processHandle)),
      attached(wasAttached),
      // A process taken over by its own instance keeps its output log; a temporary instance
      // (only stopped, then deleted) has none.
      output(wasAttached && run.agent.removed ? std::string() : outputPath(run.agent)) {
  platform::Clock& clock = run.agent.host.clock();
  startTime = platform::toFractionalDays(clock.localNow());
  startTick = clock.nowMs();
}

// The link goes first: it may still name this process while it detaches its request.
AgentProcess::~AgentProcess() { link.reset(); }

adt::String AgentProcess::label() const {
  return "агент " + quoted(name) + " (pid:" + std::to_string(pid) + ")";
}

void AgentProcess::pumpOutput() {
  std::string raw;
  handle->readOutput(raw, output.limits().perPass);
  output.append(raw);
}

void AgentProcess::readPipe(adt::String& out) {
  pumpOutput();
  out += adt::fromCp1251(output.takeTail());
}

void AgentProcess::kill(const adt::String& reason, bool quiet, bool suspendOnly) {
  Agent& agent = run.agent;
  adt::log(adt::LOG_INFO, "1. AgentProcess::kill readPipe");
  readPipe(lastOutput);

  adt::log(adt::LOG_INFO, "2. AgentProcess::kill terminate");
  const char* suffix = "";
  int error = 0;
  if (suspendOnly) {
    suffix = " как бы";
    if (!handle->suspend(error)) {
      adt::log(adt::LOG_ERR,
               "suspend(" + std::to_string(pid) + ") failed: " + platform::systemErrorText(error));
    }
  } else {
    ++agent.kills;
    if (!handle->terminate(error)) {
      adt::log(adt::LOG_ERR, "terminate(" + std::to_string(pid) +
                                 ") failed: " + platform::systemErrorText(error));
    }
  }
  adt::String line = "..." + label() + suffix + " убит, причина: " + reason;
  if (!lastOutput.empty()) line += ", последки:\n" + lastOutput;
  adt::log(adt::LOG_WARN, line);

  if (!quiet) {
    adt::String body = "причина: " + reason;
    if (!agent.stopReason.empty()) body += "\nпричина остановки: " + agent.stopReason;
    if (!agent.startReason.empty()) body += "\nпричина запуска: " + agent.startReason;
    adt::log(adt::LOG_INFO, "3. AgentProcess::kill sendBugReport");
    // Starts made from the administration console are watched by the administrator already.
    if (!agent.startedByConsole) {
      agent.host.sendError(body, "Агент " + quoted(name) + suffix + " убит");
    }
  }
  run.finished = true;
  adt::log(adt::LOG_INFO, "4. AgentProcess::kill finished");
}

AgentAttach& AgentProcess::attachLink(uint16_t port, const AgentStartReport& report) {
  Agent& agent = run.agent;
  platform::Clock& clock = agent.host.clock();
  const uint64_t now = clock.nowMs();

  adt::String line = "..." + label() + " запущен";
  if (report.hasVersion) {
    line += " (версия: " + std::to_string(report.version[0]) + "." +
            std::to_string(report.version[1]) + "." + std::to_string(report.version[2]) + ")";
  }
  if (report.hasText2) line += " (лог: " + report.text2 + ")";
  adt::log(adt::LOG_INFO, line);

  linkedOnce = true;
  link = std::make_unique<AgentAttach>(*this, agent.host, port, report,
                                       agent.httpListener[0] != nullptr,
                                       agent.httpListener[1] != nullptr);

  if (now - startTick > 120000) {
    adt::String warn = "Длительный запуск агента " + quoted(name);
    if (!agent.conf.id.empty()) warn += " [" + agent.conf.id + "]";
    warn += " " + std::to_string(now - startTick) + " мс";
    adt::log(adt::LOG_WARN, warn);
  }
  agent.startedTime = platform::toFractionalDays(clock.localNow());
  agent.load.lastTelemetryTick = now;
  return *link;
}

void AgentProcess::dropLink() {
  if (!link) return;
  adt::log(adt::LOG_INFO, "..." + label() + " останавливается");
  link.reset();
}

// ---- AgentRun ----

AgentRun::AgentRun(Agent& owner) : agent(owner) {}

AgentRun::~AgentRun() = default;

AgentProcess* AgentRun::checkProcess(bool inPass) {
  if (!process) return nullptr;
  // A killed or ended process was handled once already.
  if (finished) return process.get();
  if (inPass && !process->handle->mayHaveEnded()) return process.get();
  if (process->handle->hasEnded()) {
    handleEnd(*process);
    finished = true;
  }
  return process.get();
}

void AgentRun::handleEnd(AgentProcess& p) {
  if (p.stopRequest) {
    adt::log(adt::LOG_INFO, "..." + p.label() + " остановлен");
    return;
  }
  // Nobody asked it to stop.
  ++agent.unexpectedEnds;
  if (!p.linkedOnce) agent.earlyFailTick = agent.host.clock().nowMs();
  adt::String output;
  p.readPipe(output);
  const adt::String title =
      "Неожиданная остановка агента " + quoted(p.name) + " (pid:" + std::to_string(p.pid) + ")";
  adt::log(adt::LOG_WARN, output.empty() ? title : title + ". Последки:\n" + output);
  adt::String body = endText(p.handle->exitStatus());
  if (!agent.startReason.empty()) body += "\nпричина запуска: " + agent.startReason;
  if (!output.empty()) body += "\nПоследние сообщения:\n" + output;
  if (!agent.startedByConsole) agent.notifyThrottled(Agent::errorKey(0, 2), title, body);
  agent.stopReason = body;
}

void AgentRun::softStop(const adt::String& reason, bool notify, uint64_t timeout, uint64_t grace) {
  AgentProcess* p = checkProcess();
  // Nothing to stop: no process, or it is gone already.
  if (!p || finished) return;
  platform::Clock& clock = agent.host.clock();
  const uint64_t now = clock.nowMs();
  if (p->stopRequest) {
    StopRequest& pending = *p->stopRequest;
    if (pending.startTick + pending.timeout < now + timeout) {
      // The earlier deadline stands; only the grace may shrink.
      if (grace < pending.grace) pending.grace = grace;
      return;
    }
    p->stopRequest.reset();
  }
  adt::String line =
      grace == 0 ? adt::String("Остановка") : "Мягкая(" + std::to_string(grace) + "мс) остановка";
  line += " агента " + quoted(p->name) + " (pid:" + std::to_string(p->pid) + ") таймаут(" +
          std::to_string(timeout) + "мс)";
  adt::log(adt::LOG_INFO, line + ", причина: " + reason + "...");
  if (notify) agent.host.sendError("причина: " + reason, line);
  agent.stopReason = reason;
  p->stopRequest = StopRequest{now, now, timeout, grace};
  if (p->link) p->link->sendTerminate(grace != 0);
  agent.scheduleMark = platform::toFractionalDays(clock.localNow());
}

void AgentRun::finish(const adt::String& reason) {
  if (process && !finished) process->kill(reason, true, false);
  finished = true;
}

void AgentRun::attachProcess(uint32_t pid, const std::string& pipeName) {
  int error = 0;
  AgentProcessBackend& backend = agent.host.processBackend();
  std::unique_ptr<AgentProcessHandle> handle =
      pipeName.empty() ? backend.attach(pid, error) : backend.attachWithPipe(pid, pipeName, error);
  if (!handle) throw adt::LastError("OpenProcess(" + std::to_string(pid) + ")", error);
  process = std::make_unique<AgentProcess>(*this, agent.conf.name, true, std::move(handle), true);
}

}  // namespace agents
