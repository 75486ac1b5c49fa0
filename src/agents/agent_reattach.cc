#include "agents/agent_reattach.h"

#include <exception>
#include <vector>

#include "adt/log.h"
#include "agents/agent_run.h"
#include "platform/process.h"
#include "platform/self.h"

namespace agents {
namespace {

std::string fileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Finds `option` as a whole argument (preceded by a blank, followed by a blank).
size_t findOption(const std::string& line, const std::string& option) {
  for (size_t at = line.find(option); at != std::string::npos; at = line.find(option, at + 1)) {
    const size_t end = at + option.size();
    if (at > 0 && line[at - 1] == ' ' && end < line.size() && line[end] == ' ') return at;
  }
  return std::string::npos;
}

// The program this instance starts: its command's first argument, or the distribution's.
std::string configuredProgram(const Agent& agent) {
  if (agent.conf.cmd.empty()) return "dorvi";
  const std::vector<std::string> args = platform::splitCommandLine(agent.conf.cmd);
  return args.empty() ? std::string() : args.front();
}

Agent* configuredInstance(AgentList& agents, const FoundAgent& found) {
  for (const std::unique_ptr<Agent>& agent : agents) {
    if (agent->removed || agent->workerId != static_cast<int32_t>(found.workerId)) continue;
    const bool same =
        found.id.empty() ? agent->conf.name == found.name : agent->conf.id == found.id;
    if (same) return agent.get();
  }
  return nullptr;
}

}  // namespace

std::string optionValue(const std::string& line, const std::string& option) {
  size_t at = findOption(line, option);
  if (at == std::string::npos) return std::string();
  at += option.size();
  while (at < line.size() && line[at] == ' ') ++at;
  if (at < line.size() && line[at] == '"') {
    const size_t close = line.find('"', at + 1);
    if (close == std::string::npos) {
      adt::log(adt::LOG_WARN, "missing quote for " + option + " in " + line);
      return std::string();
    }
    return line.substr(at + 1, close - at - 1);
  }
  const size_t end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool parseAgentCommandLine(const std::string& line, uint64_t key, FoundAgent& out) {
  const std::string keyText = optionValue(line, "--am-key");
  if (keyText.empty() || keyText != std::to_string(key)) return false;
  out.commandLine = line;
  out.id = optionValue(line, "--agentid");
  out.name = optionValue(line, "--name");
  out.pipeName = optionValue(line, "--am-pipe");
  const std::string worker = optionValue(line, "--worker-id");
  out.workerId =
      worker.empty() ? 0 : static_cast<uint32_t>(std::strtoul(worker.c_str(), nullptr, 10));
  return true;
}

bool sameProgram(const std::string& commandLineProgram, const std::string& executable) {
  return !commandLineProgram.empty() && fileName(commandLineProgram) == fileName(executable);
}

void reattachAgents(AgentList& agents, AgentHost& host, uint64_t key, uint64_t managerStartUnixMs) {
  std::vector<uint32_t> pids;
  if (!platform::enumerateProcesses(pids)) return;
  const uint32_t self = platform::currentProcessId();
  for (uint32_t pid : pids) {
    if (pid == self) continue;
    FoundAgent found;
    std::string line;
    if (!platform::readProcessCommandLine(pid, line) || !parseAgentCommandLine(line, key, found)) {
      continue;
    }
    found.pid = pid;
    try {
      // Who the pid is now: a process that started after this manager, or whose program is
      // not the one its command line names, is not a previous manager's agent.
      platform::ProcessTimes before, after;
      std::string exe;
      const std::vector<std::string> args = platform::splitCommandLine(line);
      if (!platform::readProcessTimes(pid, before) || !platform::readProcessExecutable(pid, exe)) {
        continue;
      }
      if (before.startUnixMs > managerStartUnixMs || args.empty() || !sameProgram(args[0], exe)) {
        adt::log(adt::LOG_WARN, "reattach: pid " + std::to_string(pid) +
                                    " is not an agent of this installation (" + exe + ")");
        continue;
      }
      Agent* own = configuredInstance(agents, found);
      if (own && !sameProgram(configuredProgram(*own), exe)) {
        adt::log(adt::LOG_WARN, "reattach: pid " + std::to_string(pid) + " runs " + exe +
                                    ", not the program of agent \"" + own->conf.name + "\"");
        continue;
      }
      adt::log(adt::LOG_INFO, "reattach: id=" + found.id + ", name=" + found.name +
                                  ", pid=" + std::to_string(pid) + ", cmd=" + line);
      if (own && !own->run) {
        own->takeOver(pid, found.pipeName);
      } else {
        config::AgentConf conf;
        conf.id = "--" + found.id + "--" + std::to_string(pid);
        conf.name = found.name;
        agents.push_back(std::make_unique<Agent>(host, conf));
        Agent& temporary = *agents.back();
        temporary.removed = true;
        try {
          temporary.reattach(pid);
        } catch (...) {
          agents.pop_back();
          throw;
        }
        own = &temporary;
      }
      // Attached now (the handle pins the process): the start time must still be the one
      // checked above, or the pid was reused in between.
      if (!platform::readProcessTimes(pid, after) || after.startUnixMs != before.startUnixMs) {
        adt::log(adt::LOG_WARN, "reattach: pid " + std::to_string(pid) + " changed meanwhile");
        own->run.reset();
        if (own->removed) agents.pop_back();
      }
    } catch (const std::exception& e) {
      adt::log(adt::LOG_WARN, "agent (id=\"" + found.id + "\") error: " + e.what());
    }
  }
}

Agent* linkTakenOverAgent(AgentList& agents, uint16_t port) {
  for (const std::unique_ptr<Agent>& agent : agents) {
    AgentProcess* p = agent->process();
    if (!p || !p->attached || p->link || !platform::processOwnsUdpPort(p->pid, port)) continue;
    AgentStartReport report;
    report.pid = p->pid;
    p->attachLink(port, report);
    return agent.get();
  }
  return nullptr;
}

void Agent::takeOver(uint32_t pid, const std::string& pipeName) {
  startReason = "найден работающий процесс (перезапуск AM)";
  platform::Clock& clock = host.clock();
  scheduleMark = platform::toFractionalDays(clock.localNow());
  startTick = clock.nowMs();
  run = std::make_unique<AgentRun>(*this);
  try {
    run->attachProcess(pid, pipeName);
  } catch (...) {
    run.reset();
    throw;
  }
}

}  // namespace agents
