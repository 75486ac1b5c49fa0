// Stopping every agent when the manager itself stops.
#pragma once
#include <cstdint>
#include <functional>

#include "adt/text.h"
#include "agents/agent.h"

namespace agents {

// Time-outs and grace of an agent left running for the next manager.
constexpr uint64_t kLeaveStopMs = 3600000;
// The longest the agents are waited for when the manager stops, whatever time-out the caller
// gives (the console's is hours): an agent that ignores the stop is then killed, never left
// without a manager.
constexpr uint64_t kAgentStopLimitMs = 20000;

// True when the agent's process is to outlive this manager: `leave` is set (a restart holds
// the leave marker) and the process writes into its own named pipe.
bool keptOnLeave(const Agent& agent, bool leave);

// Asks every agent to stop, in list order: a finished run is cleaned up; a start still pending
// is dropped (finished, with `reason` as the stop reason); a running process
// gets a soft stop without notification with `timeoutMs`, unless it is kept on leave: that one
// is not asked to stop at all and is left running when the manager exits.
void requestStopOfAllAgents(AgentList& agents, const adt::String& reason, bool leave,
                            uint64_t timeoutMs);

// One sweep over the agents, in list order: a finished run is cleaned up; a process that is not
// kept and still runs more than `timeoutMs` after `t0` is killed quietly with "не успел
// остановиться сам (<ms>мс)". `pass` (one main-loop pass, which also runs the supervision
// steps; it may delete agents from the list) runs once at the end while some process is waited
// for. True when some process that is not kept still runs.
bool sweepStoppingAgents(AgentList& agents, bool leave, uint64_t timeoutMs, uint64_t t0,
                         platform::Clock& clock, const std::function<void()>& pass);

// The whole stop: the requests, then sweeps until every process that is not kept has ended or
// has been killed (at the latest once min(`timeoutMs`, kAgentStopLimitMs) has passed since
// `t0`; that is also the time-out the agents are told).
void stopAllAgents(AgentList& agents, const adt::String& reason, bool leave, uint64_t timeoutMs,
                   uint64_t t0, platform::Clock& clock, const std::function<void()>& pass);

}  // namespace agents
