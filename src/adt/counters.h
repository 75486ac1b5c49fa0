// Process-wide counters of the manager that the operator's metrics read: open client
// connections, client commands by tag, failed notification deliveries. Plain fields, main
// thread only (every writer runs on the dispatcher's thread); fixed size.
#pragma once
#include <array>
#include <cstdint>

namespace adt {

struct ManagerCounters {
  uint64_t clientConnections = 0;                // binary-protocol connections open now
  std::array<uint64_t, 256> clientRequests{};    // commands dispatched, by their tag
  uint64_t notificationFailures = 0;             // deliveries (mail, instant message) that failed
};

// The one instance of the process.
ManagerCounters& managerCounters();

}  // namespace adt
