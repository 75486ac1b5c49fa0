// The operator's metrics on the web port: agent records by state, per record its starts, ends
// and kills and the newest sample of its process, the client connections and commands, failed
// notifications and the manager's own process. Bounded by the agent records and the 256
// command tags.
#include <array>

#include "adt/counters.h"
#include "clients/agents_list.h"
#include "platform/process.h"
#include "platform/self.h"
#include "server/am_server.h"

namespace server {

bool AMServer::writeMetrics(uint32_t clientAddress, web::MetricsText& out) {
  const uint64_t now = clock_.nowMs();
  const adt::ManagerCounters& counters = adt::managerCounters();

  std::array<uint64_t, 4> byState{};
  for (const auto& agent : agents_) {
    if (!agent->removed) ++byState[static_cast<size_t>(clients::agentState(*agent))];
  }
  static constexpr const char* kStates[4] = {"stopped", "starting", "running", "stopping"};
  out.family("am_agents", "gauge", "Configured agent records by state.");
  for (size_t i = 0; i < byState.size(); ++i) out.sample({{"state", kStates[i]}}, byState[i]);

  // The records this client may see, as the web list decides.
  std::vector<const agents::Agent*> shown;
  for (const auto& agent : agents_) {
    if (!agent->removed && agent->conf.masks.admits(clientAddress)) shown.push_back(agent.get());
  }
  struct PerAgent {
    const char* name;
    const char* type;
    const char* help;
    uint64_t agents::Agent::*field;
  };
  static constexpr PerAgent kCounters[] = {
      {"am_agent_starts_total", "counter", "Agent processes started.", &agents::Agent::starts},
      {"am_agent_unexpected_ends_total", "counter",
       "Agent processes that ended without being asked to.", &agents::Agent::unexpectedEnds},
      {"am_agent_kills_total", "counter", "Agent processes killed by the manager.",
       &agents::Agent::kills},
  };
  const auto workerText = [](const agents::Agent& a) { return std::to_string(a.workerId); };
  for (const PerAgent& c : kCounters) {
    out.family(c.name, c.type, c.help);
    for (const agents::Agent* a : shown) {
      const std::string worker = workerText(*a);
      out.sample({{"agent", a->conf.name}, {"worker", worker}}, a->*c.field);
    }
  }

  out.family("am_agent_up", "gauge", "1 while the agent process runs linked, else 0.");
  for (const agents::Agent* a : shown) {
    const std::string worker = workerText(*a);
    out.sample({{"agent", a->conf.name}, {"worker", worker}}, uint64_t{a->isRunning() ? 1u : 0u});
  }
  // The current process of a record, while it has not ended.
  const auto liveProcess = [](const agents::Agent& a) -> const agents::AgentProcess* {
    return a.run && !a.run->finished ? a.process() : nullptr;
  };
  out.family("am_agent_uptime_seconds", "gauge", "Seconds since the agent process was started.");
  for (const agents::Agent* a : shown) {
    const agents::AgentProcess* p = liveProcess(*a);
    if (!p) continue;
    const std::string worker = workerText(*a);
    out.sample({{"agent", a->conf.name}, {"worker", worker}},
               static_cast<double>(now - p->startTick) / 1000.0);
  }
  out.family("am_agent_resident_bytes", "gauge",
             "Resident memory of the agent process at its newest 5-second sample.");
  std::vector<std::pair<const agents::Agent*, const agents::ProcessSample*>> sampled;
  for (const agents::Agent* a : shown) {
    const agents::AgentProcess* p = liveProcess(*a);
    if (!p) continue;
    if (const agents::ProcessSample* s = a->processSamples.newestOf(p->pid, p->startTime)) {
      sampled.emplace_back(a, s);
    }
  }
  for (const auto& [a, s] : sampled) {
    const std::string worker = workerText(*a);
    out.sample({{"agent", a->conf.name}, {"worker", worker}}, uint64_t{s->workingSetKiB} * 1024);
  }
  out.family("am_agent_cpu_seconds_total", "counter",
             "Processor time (user and kernel) of the agent process at its newest 5-second "
             "sample.");
  for (const auto& [a, s] : sampled) {
    const std::string worker = workerText(*a);
    out.sample({{"agent", a->conf.name}, {"worker", worker}},
               static_cast<double>(s->userMs + s->kernelMs) / 1000.0);
  }

  out.family("am_client_connections", "gauge", "Open binary-protocol client connections.");
  out.sample(counters.clientConnections);
  out.family("am_client_requests_total", "counter", "Client commands dispatched, by command tag.");
  for (size_t tag = 0; tag < counters.clientRequests.size(); ++tag) {
    if (counters.clientRequests[tag] == 0) continue;
    const std::string command = std::to_string(tag);
    out.sample({{"command", command}}, counters.clientRequests[tag]);
  }
  out.family("am_notification_failures_total", "counter",
             "Notification deliveries (mail, instant message) that failed.");
  out.sample(counters.notificationFailures);

  // Telemetry and process samples kept for the statistics requests: they grow with the
  // samples received, each history up to its limit, and are the expected part of the
  // manager's growth over a day.
  uint64_t historyBytes = 0;
  for (const auto& agent : agents_) {
    historyBytes += agent->samples.heldBytes() + agent->processSamples.heldBytes();
  }
  out.family("am_sample_history_bytes", "gauge",
             "Bytes of telemetry and process samples held for all agents.");
  out.sample(historyBytes);

  out.family("am_uptime_seconds", "gauge", "Seconds since the manager started.");
  out.sample(static_cast<double>(now - startedMs_) / 1000.0);
  platform::ProcessMemory memory;
  if (platform::readProcessMemory(platform::currentProcessId(), memory)) {
    out.family("am_resident_bytes", "gauge", "Resident memory of the manager process.");
    out.sample(memory.workingSetKiB * 1024);
  }
  return true;
}

}  // namespace server
