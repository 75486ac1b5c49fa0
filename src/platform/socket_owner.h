// Who holds a UDP socket on this machine: the owner's user id and whether a given process has
// it among its descriptors. The agent link trusts a datagram by the socket it was sent from.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One UDP socket bound to a port on an address from which it can send as 127.0.0.1 (the
// loopback address itself, any address, or their IPv6 forms).
struct UdpSocketInfo {
  uint64_t inode = 0;
  uint32_t uid = 0;
};

// The sockets bound to local UDP `port` that can send from 127.0.0.1 (IPv4 and IPv6), from the
// kernel's socket diagnostics, or its socket tables when those cannot be asked. Empty when none
// or when neither can be read.
std::vector<UdpSocketInfo> udpSocketsOnPort(uint16_t port);

// The diagnostics part for one family, appended to `out`: the kernel picks the sockets by port,
// so one call costs the same however many sockets the machine holds (the text tables are
// formatted whole, and walked again for every page read). False when the kernel cannot be
// asked or did not answer to the end. Exposed for tests.
bool udpSocketsFromDiagnostics(uint16_t port, bool ipv6, std::vector<UdpSocketInfo>& out);

// The same, parsed from the text of one socket table (the header line first); `ipv6` tells the
// address format. Exposed for tests.
std::vector<UdpSocketInfo> parseUdpTable(const std::string& table, uint16_t port, bool ipv6);

// The inodes of the sockets among a process's open descriptors; empty when they cannot be read.
std::vector<uint64_t> processSocketInodes(uint32_t pid);

// The effective user id of this process.
uint32_t effectiveUserId();

}  // namespace platform
