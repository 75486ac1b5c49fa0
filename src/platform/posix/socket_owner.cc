// UDP socket owners from the kernel's socket diagnostics (netlink), /proc/net/udp and
// /proc/net/udp6 when those cannot be asked, and /proc/<pid>/fd.
#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// The same test on the address of a diagnostics answer (network byte order).
bool canSendAsLoopback(const uint32_t address[4], bool ipv6) {
  if (!ipv6) return address[0] == htonl(INADDR_LOOPBACK) || address[0] == 0;
  if (address[0] != 0 || address[1] != 0) return false;
  if (address[2] == 0) return address[3] == 0;  // ::
  return address[2] == htonl(0xFFFF) &&
         (address[3] == htonl(INADDR_LOOPBACK) || address[3] == 0);  // ::ffff:127.0.0.1, ::ffff:0
}

}  // namespace

bool udpSocketsFromDiagnostics(uint16_t port, bool ipv6, std::vector<UdpSocketInfo>& out) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.header.nlmsg_seq = 1;
  ask.request.sdiag_family = ipv6 ? AF_INET6 : AF_INET;
  ask.request.sdiag_protocol = IPPROTO_UDP;
  ask.request.idiag_states = ~0u;
  ask.request.id.idiag_sport = htons(port);
  ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool ok = ::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel),
                     sizeof kernel) == static_cast<ssize_t>(sizeof ask);
  // A few sockets at most share a port; the answer is bounded by the messages the kernel
  // sends until its end message, each read whole into this buffer.
  alignas(nlmsghdr) char buffer[16384];
  bool done = false;
  for (int reads = 0; ok && !done && reads < 1024; ++reads) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ok = false;
      break;
    }
    // Walk the messages by hand: the kernel's walking macros mix signed and unsigned lengths.
    size_t offset = 0;
    const size_t got = static_cast<size_t>(n);
    while (!done && ok && got - offset >= sizeof(nlmsghdr)) {
      auto* h = reinterpret_cast<nlmsghdr*>(buffer + offset);
      const size_t length = h->nlmsg_len;
      if (length < sizeof(nlmsghdr) || length > got - offset) {
        ok = false;
        break;
      }
      offset += NLMSG_ALIGN(length);
      if (offset > got) offset = got;
      if (h->nlmsg_type == NLMSG_DONE) {
        done = true;
        break;
      }
      if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        ok = false;
        break;
      }
      const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (ntohs(m->id.idiag_sport) != port) continue;
      if (!canSendAsLoopback(m->id.idiag_src, m->idiag_family == AF_INET6)) continue;
      out.push_back({m->idiag_inode, m->idiag_uid});
    }
  }
  ::close(fd);
  return ok && done;
}

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
  if (udpSocketsFromDiagnostics(port, false, out) && udpSocketsFromDiagnostics(port, true, out)) {
    return out;
  }
  out.clear();
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
