// Whether a datagram's port belongs to one process: every UDP socket on it is that process's.
#include <algorithm>

#include "platform/process.h"
#include "platform/socket_owner.h"

namespace platform {

bool processOwnsUdpPort(uint32_t pid, uint16_t port) {
  const std::vector<UdpSocketInfo> sockets = udpSocketsOnPort(port);
  if (sockets.empty()) return false;
  return std::all_of(sockets.begin(), sockets.end(),
                     [pid](const UdpSocketInfo& s) { return s.inode == pid; });
}

}  // namespace platform
