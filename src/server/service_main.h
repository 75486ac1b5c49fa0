// Service mode: the server under a service manager (or in the foreground with --daemon),
// telling the manager its state over the notify protocol: starting, READY=1 once the server
// is up, STOPPING=1 when it winds down, WATCHDOG=1 from the main loop. Main thread only.
#pragma once
#include <string>

namespace server {

// True when this process was started by a service manager that listens for notifications.
bool startedByServiceManager();

// The service mode: without --daemon only a service manager may start it (otherwise it
// throws, saying what to run instead). Nothing is echoed to the console meanwhile.
int runServiceMode(bool daemon, const std::string& settingsPath);

// Runs the server until a stop signal or a sigstop datagram; returns 0. Start-up failures are
// reported to the service manager and leave by exception.
int runServiceMain(const std::string& settingsPath);

}  // namespace server
