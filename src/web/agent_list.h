// The JSON list of the agents that have a web port, as the page and other web clients read it.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "adt/text.h"
#include "web/web_host.h"

namespace web {

// Which agents a list request asks for.
struct ListFilter {
  bool anyApplication = false;  // true: every agent with a web port
  adt::String application;      // otherwise: a name the agent's application list must hold
};

// The filter of a list request; `rest` is the path after "/list". Its first character (the
// separator: "/list/web", "/list?web") is dropped; an empty result means "web"; a result that
// starts with "_" means every application.
ListFilter parseListFilter(std::string_view rest);

// The list body, one line without white space:
//   {"agents":[{"name":..,"desc":..,"icon":..,"worker_processes":..,"heavy_processes":..,
//   "port":..},...],"wlcm":..}
// Each primary agent record with a web port is listed in the given order when its application
// list passes `filter` and its own address masks admit `clientAddress` (first octet in the most
// significant byte); "desc" and "icon" are left out when empty, "wlcm" when `welcome` is empty.
adt::String agentListJson(const std::vector<AgentSummary>& agents, const ListFilter& filter,
                          uint32_t clientAddress, std::string_view welcome);

}  // namespace web
