// Choosing the port an agent process serves its clients on.
#pragma once
#include <cstdint>
#include <vector>

#include "config/settings.h"

namespace server {

// What one agent instance holds or reserves in the client port space.
struct PortClaim {
  uint16_t fixedPort = 0;     // client_port of its settings (0 = allocate)
  config::PortRange ownRange; // its own client_ports (min -1 = none)
  uint16_t runPort = 0;       // port handed to its current run (0 = none)
  uint16_t linkPort = 0;      // port its agent link reports (0 = none)
};

// The port for `claims[self]`, or 0 when none is to be handed out (allocation disabled, or
// no range applies). Fixed ports are returned as they are. The range is the agent's own,
// widened to the common one; an agent without a range of its own also avoids every other
// agent's range and fixed port; every agent's current run and link port are always avoided.
// The upper end of the range is never handed out. Throws adt::Exception with the Russian
// "no port left" message when the range is used up.
uint16_t allocateClientPort(const std::vector<PortClaim>& claims, size_t self,
                            const config::PortRange& common, bool enabled);

}  // namespace server
