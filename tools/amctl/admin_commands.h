// amctl's commands about the manager itself: its settings files, its logs, its statistics,
// its lock, its console, a message to every agent and an agent's stored telemetry.
#pragma once
#include <string>
#include <vector>

#include "client_calls.h"
#include "output.h"

namespace amctl {

// Runs `cmd` with `args` when it is one of these commands and fills `result`; false when it is
// not (the agent forms "lock AGENT" and "settings AGENT" are not). Throws Failure.
bool adminCommand(const std::string& cmd, const std::vector<std::string>& args,
                  amclient::Connection& c, const Reconnect& reconnect, Result& result);

}  // namespace amctl
