// What ends the main loop of the console and the service alike: a stop signal (SIGTERM from
// the service manager, SIGINT from Ctrl-C) or a sigstop datagram. Main thread only.
#pragma once
#include <cstdint>

#include "adt/text.h"

namespace server {

class AMServer;

// How the server is to stop: the arguments of AMServer::serverStop.
struct StopOrder {
  adt::String reason;
  bool leave = false;
  uint64_t timeoutMs = 0;
};

// The time a signalled stop gives the listeners and the agents, as the service's own stop.
constexpr uint64_t kSignalStopTimeoutMs = 20000;

// Checked once per pass. A hang-up is logged and otherwise ignored. A stop signal or a sigstop
// datagram gives the order (true): agents with their own output pipe are left running only
// while a restart holds the leave marker.
bool takeStopOrder(AMServer& server, StopOrder& order);

// Signals the loop reads from now on (stop, hang-up); call before the server starts threads.
void catchStopSignals();

}  // namespace server
