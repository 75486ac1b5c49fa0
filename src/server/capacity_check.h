// What the settings ask of the machine as agents are added: client ports from the common range
// and descriptors. Checked once at start-up, so that a manager with too many agents for its
// machine says so in one line instead of failing agent after agent.
#pragma once
#include <cstdint>
#include <vector>

#include "adt/text.h"
#include "config/settings.h"

namespace server {

// Descriptors the manager holds besides its agents: listeners, the poller, log files, the
// hang watch, the notifier, a client connection or two, and room for a spawn in progress.
constexpr uint64_t kBaseDescriptors = 64;
// Descriptors one agent process costs the manager: its output pipe, its exit handle and the two
// files its samples are read from, plus one for the moment of its start (the child's end of a
// new pipe) and the agent link's share of client connections.
constexpr uint64_t kDescriptorsPerProcess = 6;

struct CapacityReport {
  uint64_t processes = 0;          // agent processes the sections ask for (workers included)
  uint64_t descriptorsNeeded = 0;  // at least this many for all of them at once
  uint64_t poolPorts = 0;          // ports the common client_ports range can hand out
  uint64_t poolDrawers = 0;        // processes that take their port from that range
  // Start-up fails with this text (empty: it may go on).
  adt::String error;
  // Logged as warnings; the manager goes on.
  std::vector<adt::String> warnings;
};

// `descriptorLimit`: the soft limit in force (after raising it to the hard one).
CapacityReport checkCapacity(const config::CommonSettings& common,
                             const std::vector<config::AgentConf>& agents,
                             uint64_t descriptorLimit);

}  // namespace server
