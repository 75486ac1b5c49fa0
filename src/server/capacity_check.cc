#include "server/capacity_check.h"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace server {

namespace {

constexpr int64_t kLastPort = 65535;

bool hasOwnRange(const config::AgentConf& a) {
  return a.clientPorts.min > 0 && a.clientPorts.min <= a.clientPorts.max;
}

}  // namespace

CapacityReport checkCapacity(const config::CommonSettings& common,
                             const std::vector<config::AgentConf>& agents,
                             uint64_t descriptorLimit) {
  CapacityReport r;
  uint64_t listeners = 0;
  // Only the first section of an id (or, without one, a name) becomes an agent.
  std::vector<const config::AgentConf*> distinct;
  std::unordered_set<adt::String> ids, names;
  for (const config::AgentConf& a : agents) {
    const bool repeated = !a.id.empty() ? ids.count(a.id) != 0 : names.count(a.name) != 0;
    if (repeated) continue;
    distinct.push_back(&a);
    if (!a.id.empty()) ids.insert(a.id);
    names.insert(a.name);
  }
  for (const config::AgentConf* a : distinct) {
    const uint64_t processes = static_cast<uint64_t>(std::max<int32_t>(1, a->totalProcesses));
    r.processes += processes;
    listeners += (a->httpPort ? 1 : 0) + (a->httpsPort ? 1 : 0);
    // The primary keeps a fixed client_port; its workers (and every process without one) draw
    // from a range: their own, or the common one.
    if (hasOwnRange(*a)) continue;
    r.poolDrawers += a->clientPort ? processes - 1 : processes;
  }
  r.descriptorsNeeded = kBaseDescriptors + listeners + r.processes * kDescriptorsPerProcess;
  if (descriptorLimit < r.descriptorsNeeded) {
    r.error = "Недостаточно дескрипторов для " + std::to_string(r.processes) +
              " процессов агентов: нужно не менее " + std::to_string(r.descriptorsNeeded) +
              ", система позволяет " + std::to_string(descriptorLimit) +
              " (увеличьте ulimit -n или LimitNOFILE службы, либо уменьшите число агентов)";
  }

  // The common range: lo up to hi (never handed out itself), less the ports that other agents
  // hold as their own (ranges and fixed ports).
  const int64_t lo = common.clientPorts.min;
  if (lo > 0 && r.poolDrawers > 0) {
    int64_t hi = common.clientPorts.max;
    if (hi <= lo) hi = kLastPort;
    hi = std::min(hi, kLastPort);
    std::vector<bool> held(static_cast<size_t>(kLastPort) + 1, false);
    for (const config::AgentConf* a : distinct) {
      if (a->clientPort) held[a->clientPort] = true;
      if (!hasOwnRange(*a)) continue;
      for (int64_t p = a->clientPorts.min; p <= std::min<int64_t>(a->clientPorts.max, kLastPort);
           ++p) {
        held[static_cast<size_t>(p)] = true;
      }
    }
    for (int64_t p = lo; p < hi; ++p) {
      if (!held[static_cast<size_t>(p)]) ++r.poolPorts;
    }
    if (r.poolPorts < r.poolDrawers) {
      r.warnings.push_back(
          "диапазон client_ports " + std::to_string(lo) + ":" + std::to_string(hi) + " даёт " +
          std::to_string(r.poolPorts) + " портов для " + std::to_string(r.poolDrawers) +
          " процессов агентов без своего порта: все сразу не запустятся");
    }
  }
  return r;
}

}  // namespace server
