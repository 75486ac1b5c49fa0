// Who a process is: the program it runs and the UDP ports it holds, from /proc.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "platform/process.h"

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
  // The inodes of the UDP sockets bound to the port...
  std::set<std::string> inodes;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      char local[128] = {0};
      unsigned long inode = 0;
      // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
      if (std::sscanf(line.c_str(), " %*s %127s %*s %*s %*s %*s %*s %*s %*s %lu", local, &inode) !=
          2) {
        continue;
      }
      const char* colon = std::strrchr(local, ':');
      if (!colon || std::strtoul(colon + 1, nullptr, 16) != port) continue;
      inodes.insert("socket:[" + std::to_string(inode) + "]");
    }
  }
  if (inodes.empty()) return false;
  // ...among the process's open descriptors.
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[256];
    const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    if (inodes.count(std::string(target, static_cast<size_t>(n)))) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace platform
