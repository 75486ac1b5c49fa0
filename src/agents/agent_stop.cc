#include "agents/agent_stop.h"

#include <algorithm>

namespace agents {

namespace {

// The process of an agent that has not been found gone yet (checked now).
AgentProcess* liveProcess(Agent& agent) {
  if (!agent.run) return nullptr;
  AgentProcess* p = agent.run->checkProcess();
  return p && !agent.run->finished ? p : nullptr;
}

}  // namespace

bool keptOnLeave(const Agent& agent, bool leave) {
  const AgentProcess* p = agent.process();
  return leave && p && p->namedPipe;
}

void requestStopOfAllAgents(AgentList& agents, const adt::String& reason, bool leave,
                            uint64_t timeoutMs) {
  for (const std::unique_ptr<Agent>& agent : agents) {
    if (agent->run && agent->run->finished) agent->cleanup();
    if (agent->run && !agent->run->process) {
      // A start still pending would launch during the passes that wait for the others.
      agent->stopReason = reason;
      agent->run->finish(reason);
      continue;
    }
    if (!liveProcess(*agent)) continue;
    // A process kept for the next manager is not asked to stop: it goes on serving, and the
    // next manager takes it over as the run of its instance.
    if (keptOnLeave(*agent, leave)) continue;
    agent->run->softStop(reason, false, timeoutMs, 0);
  }
}

bool sweepStoppingAgents(AgentList& agents, bool leave, uint64_t timeoutMs, uint64_t t0,
                         platform::Clock& clock, const std::function<void()>& pass) {
  bool waiting = false;
  // By index: a pass may delete agents (removed ones, once stopped) from the list.
  for (size_t i = 0; i < agents.size(); ++i) {
    Agent& agent = *agents[i];
    // First what the process wrote, ended or not: its last words on the stop come after the
    // previous sweep read, and an agent blocked on its full output pipe could not stop at all.
    if (agent.run && agent.run->process) agent.run->process->pumpOutput();
    if (agent.run && agent.run->finished) agent.cleanup();
    AgentProcess* p = liveProcess(agent);
    if (p && !keptOnLeave(agent, leave)) {
      const uint64_t waited = clock.nowMs() - t0;
      if (waited > timeoutMs) {
        p->kill("не успел остановиться сам (" + std::to_string(waited) + "мс)", true, false);
      } else {
        waiting = true;
      }
    }
  }
  // One pass a sweep, not one an agent: each pass may wait a whole dispatcher step.
  if (waiting && pass) pass();
  return waiting;
}

void stopAllAgents(AgentList& agents, const adt::String& reason, bool leave, uint64_t timeoutMs,
                   uint64_t t0, platform::Clock& clock, const std::function<void()>& pass) {
  const uint64_t limit = std::min(timeoutMs, kAgentStopLimitMs);
  requestStopOfAllAgents(agents, reason, leave, limit);
  while (sweepStoppingAgents(agents, leave, limit, t0, clock, pass)) {
  }
  // What is left running keeps its named pipe, so the next manager reads its output.
  for (const std::unique_ptr<Agent>& agent : agents) {
    AgentProcess* p = agent->process();
    if (p && keptOnLeave(*agent, leave)) p->handle->leaveRunning();
  }
}

}  // namespace agents
