// Taking over, at start-up, the agent processes that a previous manager of this installation
// left running: found by process enumeration and command line, checked to be what they claim
// (a pid that an unrelated process has reused is never taken for an agent).
#pragma once
#include <cstdint>
#include <string>

#include "adt/text.h"
#include "agents/agent.h"

namespace agents {

// What an agent's command line says about it.
struct FoundAgent {
  uint32_t pid = 0;
  std::string commandLine;
  adt::String id, name;
  std::string pipeName;  // --am-pipe, empty when none
  uint32_t workerId = 0;
};

// The value of `option` in a command line: after the option and its blanks, up to the next
// blank, or within double quotes. A quote that never closes logs "missing quote for <option>
// in <command line>" and gives nothing.
std::string optionValue(const std::string& commandLine, const std::string& option);

// True when the command line carries " --am-key <key>" with exactly this key; fills `out`.
bool parseAgentCommandLine(const std::string& commandLine, uint64_t key, FoundAgent& out);

// The program named by a command line's first argument matches the file the process runs
// (by file name: a launch by bare name is found in PATH).
bool sameProgram(const std::string& commandLineProgram, const std::string& executable);

// Scans the running processes and takes over this installation's agents into `agents`: a
// process of a configured instance without a run becomes that instance's run and keeps
// running; any other (its section is gone, or the instance runs already) becomes a temporary
// instance that is only stopped. `managerStartUnixMs`: this manager's start; agents started
// later are not a previous manager's. Failures are logged per process.
void reattachAgents(AgentList& agents, AgentHost& host, uint64_t key, uint64_t managerStartUnixMs);

// A datagram from `port` that no link claims: the taken-over process holding that port is
// linked to it (it reported its start to the previous manager) and returned; null otherwise.
Agent* linkTakenOverAgent(AgentList& agents, uint16_t port);

}  // namespace agents
