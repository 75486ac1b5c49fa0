// UDP socket owners from /proc/net/udp, /proc/net/udp6 and /proc/<pid>/fd.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/socket_owner.h"

namespace platform {
namespace {

// Local addresses from which a socket can send a datagram whose source is 127.0.0.1, in the
// tables' hexadecimal form (IPv4 in host byte order on the little-endian machines we run on;
// compared as text, so the order is taken from the table itself).
bool canSendAsLoopback(const std::string& address, bool ipv6) {
  if (!ipv6) return address == "0100007F" || address == "00000000";
  // Any address, or the IPv4-mapped forms ::ffff:127.0.0.1 and ::ffff:0.0.0.0.
  return address == "00000000000000000000000000000000" ||
         address == "0000000000000000FFFF00000100007F" ||
         address == "0000000000000000FFFF000000000000";
}

}  // namespace

std::vector<UdpSocketInfo> parseUdpTable(const std::string& table, uint16_t port, bool ipv6) {
  std::vector<UdpSocketInfo> out;
  std::istringstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
    char local[128] = {0};
    unsigned long uid = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line.c_str(), " %*s %127s %*s %*s %*s %*s %*s %lu %*s %llu", local, &uid,
                    &inode) != 3) {
      continue;
    }
    char* colon = std::strrchr(local, ':');
    if (!colon) continue;
    if (std::strtoul(colon + 1, nullptr, 16) != port) continue;
    *colon = '\0';
    if (!canSendAsLoopback(local, ipv6)) continue;
    out.push_back({inode, static_cast<uint32_t>(uid)});
  }
  return out;
}

std::vector<UdpSocketInfo> udpSocketsOnPort(uint16_t port) {
  std::vector<UdpSocketInfo> out;
  for (const bool ipv6 : {false, true}) {
    std::ifstream in(ipv6 ? "/proc/net/udp6" : "/proc/net/udp");
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    const std::vector<UdpSocketInfo> part = parseUdpTable(text.str(), port, ipv6);
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

std::vector<uint64_t> processSocketInodes(uint32_t pid) {
  std::vector<uint64_t> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[128];
    const ssize_t n = ::readlinkat(::dirfd(d), e->d_name, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    unsigned long long inode = 0;
    if (std::sscanf(target, "socket:[%llu]", &inode) == 1) out.push_back(inode);
  }
  ::closedir(d);
  return out;
}

uint32_t effectiveUserId() { return static_cast<uint32_t>(::geteuid()); }

}  // namespace platform
