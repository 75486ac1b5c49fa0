#include "platform/agent_env.h"

#include <atomic>
#include <cstring>

#include "platform/error.h"
#include "platform/windows/win.h"

namespace platform {
namespace {

// The wake handle: a loopback datagram socket that the console-control handler (which the
// system runs on a thread of its own) sends one byte to.
SOCKET g_wake = INVALID_SOCKET;
sockaddr_in g_wakeAddress{};
std::atomic<int> g_signals{0};

BOOL WINAPI onConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  g_signals.fetch_add(1, std::memory_order_relaxed);
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s != INVALID_SOCKET) {
    const char byte = 1;
    sendto(s, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&g_wakeAddress), sizeof g_wakeAddress);
    closesocket(s);
  }
  return TRUE;
}

}  // namespace

FileHandle openPipeWriterNoWait(const std::string& path) {
  HANDLE h = CreateFileW(win::pipeWriterPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoFile;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
  return win::fromHandle(h);
}

int64_t writePipeNoWait(FileHandle h, const void* data, size_t n) {
  DWORD put = 0;
  const DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
  if (!WriteFile(win::toHandle(h), data, want, &put, nullptr)) {
    return GetLastError() == ERROR_NO_DATA ? -1 : -1;
  }
  return put;
}

FileHandle standardOutput() { return win::fromHandle(GetStdHandle(STD_OUTPUT_HANDLE)); }

// Kernel handles are multiples of four; the ones that answer GetHandleInformation are open.
// The scan stops at a bound far above what a freshly started agent holds.
std::vector<int> openDescriptors() {
  std::vector<int> out;
  for (int h = 4; h < 4 * 16384; h += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(win::toHandle(h), &flags)) out.push_back(h);
  }
  return out;
}

bool isListeningSocket(SocketHandle h) {
  if (win::startWinsock() != 0) return false;
  int type = 0;
  BOOL listening = FALSE;
  int len = sizeof type;
  if (getsockopt(win::toSocket(h), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) !=
          0 ||
      type != SOCK_STREAM) {
    return false;
  }
  len = sizeof listening;
  return getsockopt(win::toSocket(h), SOL_SOCKET, SO_ACCEPTCONN,
                    reinterpret_cast<char*>(&listening), &len) == 0 &&
         listening;
}

bool setNotInherited(int handle) {
  return SetHandleInformation(win::toHandle(handle), HANDLE_FLAG_INHERIT, 0) != 0;
}

SocketHandle socketFromRecord(const uint8_t* record, const std::vector<int>&, std::string& why) {
  if (const int e = win::startWinsock()) {
    why = "WSAStartup: " + systemErrorText(e);
    return kNoSocket;
  }
  WSAPROTOCOL_INFOA info;
  static_assert(sizeof info == kSocketRecordSize);
  std::memcpy(&info, record, sizeof info);
  const SOCKET s = WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    why = "WSASocket: " + systemErrorText(WSAGetLastError());
    return kNoSocket;
  }
  const int h = win::fromSocket(s);
  if (!isListeningSocket(h)) {
    closesocket(s);
    why = "the record names no listening socket";
    return kNoSocket;
  }
  return h;
}

bool catchTerminationSignals() {
  if (g_wake == INVALID_SOCKET) {
    if (win::startWinsock() != 0) return false;
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    u_long on = 1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ioctlsocket(s, FIONBIO, &on) != 0) {
      closesocket(s);
      return false;
    }
    g_wakeAddress = a;
    g_wake = s;
  }
  return SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

SocketHandle terminationWakeHandle() { return win::fromSocket(g_wake); }

int takeTerminationSignals() {
  if (g_wake != INVALID_SOCKET) {
    char scratch[64];
    while (recv(g_wake, scratch, sizeof scratch, 0) > 0) {
    }
  }
  return g_signals.exchange(0, std::memory_order_relaxed);
}

}  // namespace platform
