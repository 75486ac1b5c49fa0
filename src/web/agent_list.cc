#include "web/agent_list.h"

#include <algorithm>

#include "adt/json.h"

namespace web {

ListFilter parseListFilter(std::string_view rest) {
  if (!rest.empty()) rest.remove_prefix(1);
  ListFilter filter;
  if (rest.empty()) {
    filter.application = "web";
  } else if (rest.front() == '_') {
    filter.anyApplication = true;
  } else {
    filter.application = adt::String(rest);
  }
  return filter;
}

namespace {

bool listed(const AgentSummary& agent, const ListFilter& filter, uint32_t clientAddress) {
  // Extra workers share their primary's port; the primary stands for the whole group.
  if (agent.httpPort == 0 || agent.workerId != 0) return false;
  if (!filter.anyApplication && std::find(agent.application.begin(), agent.application.end(),
                                          filter.application) == agent.application.end()) {
    return false;
  }
  return agent.masks.admits(clientAddress);
}

}  // namespace

adt::String agentListJson(const std::vector<AgentSummary>& agents, const ListFilter& filter,
                          uint32_t clientAddress, std::string_view welcome) {
  adt::String out = "{\"agents\":[";
  bool first = true;
  for (const AgentSummary& agent : agents) {
    if (!listed(agent, filter, clientAddress)) continue;
    if (!first) out += ',';
    first = false;
    out += "{\"name\":";
    adt::appendJsonString(out, agent.name);
    if (!agent.description.empty()) {
      out += ",\"desc\":";
      adt::appendJsonString(out, agent.description);
    }
    if (!agent.icon.empty()) {
      out += ",\"icon\":";
      adt::appendJsonString(out, agent.icon);
    }
    out += adt::format(",\"worker_processes\":%d,\"heavy_processes\":%d,\"port\":%u}",
                       agent.workerProcesses, agent.heavyProcesses,
                       static_cast<unsigned>(agent.httpPort));
  }
  out += ']';
  if (!welcome.empty()) {
    out += ",\"wlcm\":";
    adt::appendJsonString(out, welcome);
  }
  out += '}';
  return out;
}

}  // namespace web
