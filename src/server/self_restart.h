// The manager restarting itself after an update of its own files: a detached
// "<am> --log <log base> restart", which holds the leave marker while the service stops and
// starts again, so the agents keep running. Main thread.
#pragma once
#include <string>
#include <vector>

#include "adt/text.h"

namespace server {

// The command line of the restart.
std::vector<std::string> selfRestartCommand(const std::string& module, const std::string& logBase);

// Starts the restart when this manager runs under a service manager (only a service can be
// stopped and started again from outside). False with the reason otherwise, or when the
// program cannot be started.
bool launchSelfRestart(const std::string& module, const std::string& home, adt::String& why);

}  // namespace server
