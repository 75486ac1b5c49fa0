// Who a process is: the program it runs and the UDP ports it holds, from /proc.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "platform/process.h"
#include "platform/socket_owner.h"

namespace platform {

bool readProcessExecutable(uint32_t pid, std::string& out) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return false;
  out.assign(buffer, static_cast<size_t>(n));
  return true;
}

bool processOwnsUdpPort(uint32_t pid, uint16_t port) {
  const std::vector<UdpSocketInfo> sockets = udpSocketsOnPort(port);
  if (sockets.empty()) return false;
  const std::vector<uint64_t> own = processSocketInodes(pid);
  // Every socket that could have sent from the port must be the process's own: one held by
  // anybody else on the same port could be the sender.
  for (const UdpSocketInfo& s : sockets) {
    if (std::find(own.begin(), own.end(), s.inode) == own.end()) return false;
  }
  return true;
}

}  // namespace platform
