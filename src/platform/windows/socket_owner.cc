// Who holds a UDP port: the system's UDP table with the owning process of each socket
// (GetExtendedUdpTable). A socket is known by its owner here, so the "inode" of a socket is
// the id of the process that holds it, and a process's sockets are the ones it owns; the "uid"
// is the last part (the relative id) of the owner's account.
#include "platform/socket_owner.h"

#include "platform/windows/win.h"

#include <iphlpapi.h>

#include <vector>

namespace platform {
namespace {

// The relative id of the account a process runs as; false when it cannot be read.
bool accountOf(HANDLE process, uint32_t& out) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
  std::vector<unsigned char> buf(512);
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()),
                                      &size) != 0;
  CloseHandle(token);
  if (!ok) return false;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
  const UCHAR count = *GetSidSubAuthorityCount(sid);
  out = count ? *GetSidSubAuthority(sid, count - 1u) : 0;
  return true;
}

}  // namespace

std::vector<UdpSocketInfo> udpSocketsOnPort(uint16_t port) {
  std::vector<UdpSocketInfo> out;
  ULONG size = 0;
  GetExtendedUdpTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  std::vector<unsigned char> buf(size + 4096);
  size = static_cast<ULONG>(buf.size());
  if (GetExtendedUdpTable(buf.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0) != NO_ERROR) {
    return out;
  }
  const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buf.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_UDPROW_OWNER_PID& row = table->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) != port) continue;
    // Bound to the loopback address or to every address: it can send as 127.0.0.1.
    const uint32_t address = ntohl(row.dwLocalAddr);
    if (address != INADDR_LOOPBACK && address != INADDR_ANY) continue;
    UdpSocketInfo info;
    info.inode = row.dwOwningPid;
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, row.dwOwningPid);
    if (!p || !accountOf(p, info.uid)) info.uid = UINT32_MAX;
    if (p) CloseHandle(p);
    out.push_back(info);
  }
  return out;
}

// There are no socket diagnostics to ask by port: the UDP table above is the one source.
bool udpSocketsFromDiagnostics(uint16_t, bool, std::vector<UdpSocketInfo>&) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

// The socket tables of the other platform's text form do not exist here.
std::vector<UdpSocketInfo> parseUdpTable(const std::string&, uint16_t, bool) { return {}; }

std::vector<uint64_t> processSocketInodes(uint32_t pid) { return {pid}; }

uint32_t effectiveUserId() {
  uint32_t id = UINT32_MAX - 1;
  accountOf(GetCurrentProcess(), id);
  return id;
}

}  // namespace platform
