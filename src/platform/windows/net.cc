// Winsock 2. The error codes are Winsock's own, so nothing is translated.
#include "platform/net.h"

#include "platform/windows/win.h"

#include <mstcpip.h>

#include <cstring>
#include <vector>

namespace platform {
namespace {

// Not in every SDK's headers: the control that turns a datagram's bounce into a receive error.
constexpr DWORD kUdpConnReset = _WSAIOW(IOC_VENDOR, 12);

int lastCode() { return WSAGetLastError(); }
NetResult fail() { return NetResult{0, lastCode()}; }
NetResult done(int64_t v) { return NetResult{v, 0}; }
SOCKET s(SocketHandle h) { return win::toSocket(h); }

sockaddr_in toSockaddr(const Endpoint& e) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = e.address;
  sa.sin_port = htons(e.port);
  return sa;
}

void fromSockaddr(const sockaddr_in& sa, Endpoint* e) {
  if (!e) return;
  e->address = sa.sin_addr.s_addr;
  e->port = ntohs(sa.sin_port);
}

int chunk(size_t n) { return n > 0x40000000u ? 0x40000000 : static_cast<int>(n); }

// A socket that is reported readable when an error or hang-up is pending, as the interface asks.
constexpr SHORT kReadEvents = POLLRDNORM | POLLRDBAND | POLLERR | POLLHUP | POLLNVAL;
constexpr SHORT kWriteEvents = POLLWRNORM | POLLERR | POLLHUP | POLLNVAL;

}  // namespace

NetResult socketCreate(SocketType type) {
  if (const int e = win::startWinsock()) return NetResult{0, e};
  const int kind = type == kUdp ? SOCK_DGRAM : SOCK_STREAM;
  const int protocol = type == kUdp ? IPPROTO_UDP : IPPROTO_TCP;
  SOCKET h = WSASocketW(AF_INET, kind, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (h == INVALID_SOCKET) return fail();
  if (type == kUdp) {
    // A datagram that bounced off a closed port must not fail the socket's next receive:
    // the code above reads the link's datagrams on, as on the other platform.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(h, kUdpConnReset, &report, sizeof report, nullptr, 0, &returned, nullptr,
             nullptr);
  }
  return done(win::fromSocket(h));
}

int socketClose(SocketHandle h) {
  if (h < 0) return 0;
  return closesocket(s(h)) == 0 ? 0 : lastCode();
}

int socketSetOption(SocketHandle h, SocketOption option, int value) {
  int r;
  const char* v = reinterpret_cast<const char*>(&value);
  switch (option) {
    case kReuseAddress:
      // SO_REUSEADDR here would let a second listener take the port: the exclusive use is
      // what the other platform's reuse amounts to for a listener.
      r = 0;
      break;
    case kBroadcast:
      r = setsockopt(s(h), SOL_SOCKET, SO_BROADCAST, v, sizeof value);
      break;
    case kSendBuffer:
      r = setsockopt(s(h), SOL_SOCKET, SO_SNDBUF, v, sizeof value);
      break;
    case kReceiveBuffer:
      r = setsockopt(s(h), SOL_SOCKET, SO_RCVBUF, v, sizeof value);
      break;
    case kLinger: {
      linger l{};
      l.l_onoff = value >= 0 ? 1 : 0;
      l.l_linger = static_cast<u_short>(value >= 0 ? value : 0);
      r = setsockopt(s(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
      break;
    }
    default:
      return WSAENOPROTOOPT;
  }
  return r == 0 ? 0 : lastCode();
}

int socketSetNonBlocking(SocketHandle h, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(s(h), FIONBIO, &mode) == 0 ? 0 : lastCode();
}

int socketBind(SocketHandle h, const Endpoint& local) {
  sockaddr_in sa = toSockaddr(local);
  return ::bind(s(h), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastCode();
}

int maxListenBacklog() { return SOMAXCONN; }

int socketListen(SocketHandle h, int backlog) {
  return ::listen(s(h), backlog) == 0 ? 0 : lastCode();
}

// Handles are not a scarce per-process resource here: nothing is held in reserve, and a
// pending connection is shed by accepting and closing it.
bool socketShedPending(SocketHandle listening) {
  SOCKET c = ::accept(s(listening), nullptr, nullptr);
  if (c == INVALID_SOCKET) return false;
  closesocket(c);
  return true;
}

NetResult socketAccept(SocketHandle h, Endpoint* peer, bool nonBlocking) {
  sockaddr_in sa{};
  int len = sizeof sa;
  SOCKET c = ::accept(s(h), reinterpret_cast<sockaddr*>(&sa), &len);
  if (c == INVALID_SOCKET) return fail();
  SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
  // An accepted socket inherits the listener's non-blocking mode: set it as asked.
  u_long mode = nonBlocking ? 1 : 0;
  ioctlsocket(c, FIONBIO, &mode);
  fromSockaddr(sa, peer);
  return done(win::fromSocket(c));
}

int socketConnect(SocketHandle h, const Endpoint& remote) {
  sockaddr_in sa = toSockaddr(remote);
  return ::connect(s(h), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastCode();
}

NetResult socketAvailable(SocketHandle h) {
  u_long n = 0;
  return ioctlsocket(s(h), FIONREAD, &n) == 0 ? done(n) : fail();
}

NetResult socketRecv(SocketHandle h, void* buffer, size_t length) {
  const int r = ::recv(s(h), static_cast<char*>(buffer), chunk(length), 0);
  return r < 0 ? fail() : done(r);
}

NetResult socketSend(SocketHandle h, const void* data, size_t length) {
  const int r = ::send(s(h), static_cast<const char*>(data), chunk(length), 0);
  return r < 0 ? fail() : done(r);
}

NetResult socketSendGather(SocketHandle h, const IoSlice* slices, size_t count) {
  std::vector<WSABUF> bufs(count);
  for (size_t i = 0; i < count; ++i) {
    bufs[i].buf = static_cast<char*>(const_cast<void*>(slices[i].data));
    bufs[i].len = static_cast<ULONG>(slices[i].size);
  }
  DWORD sent = 0;
  if (WSASend(s(h), bufs.data(), static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0) {
    return fail();
  }
  return done(sent);
}

NetResult socketSendTo(SocketHandle h, const void* data, size_t length, const Endpoint& to) {
  sockaddr_in sa = toSockaddr(to);
  const int r = ::sendto(s(h), static_cast<const char*>(data), chunk(length), 0,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return r < 0 ? fail() : done(r);
}

NetResult socketRecvFrom(SocketHandle h, void* buffer, size_t length, Endpoint* from) {
  sockaddr_in sa{};
  int len = sizeof sa;
  const int r = ::recvfrom(s(h), static_cast<char*>(buffer), chunk(length), 0,
                           reinterpret_cast<sockaddr*>(&sa), &len);
  if (r < 0) {
    // A datagram larger than the buffer: the part that fits was taken, as on the other side.
    if (lastCode() == WSAEMSGSIZE) {
      fromSockaddr(sa, from);
      return done(static_cast<int64_t>(length));
    }
    return fail();
  }
  fromSockaddr(sa, from);
  return done(r);
}

NetResult socketRecvBatch(SocketHandle h, DatagramSlot* slots, size_t count) {
  size_t taken = 0;
  for (; taken < count; ++taken) {
    DatagramSlot& slot = slots[taken];
    const NetResult r = socketRecvFrom(h, slot.buffer, slot.capacity, &slot.from);
    if (!r.ok()) {
      if (taken == 0) return r;
      break;
    }
    slot.size = static_cast<size_t>(r.value);
  }
  return done(static_cast<int64_t>(taken));
}

int socketPeerName(SocketHandle h, Endpoint* peer) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getpeername(s(h), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return lastCode();
  fromSockaddr(sa, peer);
  return 0;
}

int socketLocalName(SocketHandle h, Endpoint* local) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(s(h), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return lastCode();
  fromSockaddr(sa, local);
  return 0;
}

int socketShutdown(SocketHandle h, ShutdownHow how) {
  BOOL listening = FALSE;
  int len = sizeof listening;
  if (getsockopt(s(h), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &len) ==
          0 &&
      listening) {
    return kNetNotConnected;
  }
  const int mode = how == kShutReceive ? SD_RECEIVE : how == kShutSend ? SD_SEND : SD_BOTH;
  return ::shutdown(s(h), mode) == 0 ? 0 : lastCode();
}

NetResult socketPoll(PollEntry* entries, size_t count, int timeoutMs) {
  std::vector<WSAPOLLFD> fds(count);
  std::vector<size_t> index;
  index.reserve(count);
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    entries[i].readable = entries[i].writable = false;
    if (entries[i].handle < 0) continue;
    fds[n].fd = s(entries[i].handle);
    fds[n].events = static_cast<SHORT>((entries[i].wantRead ? POLLRDNORM : 0) |
                                       (entries[i].wantWrite ? POLLWRNORM : 0));
    fds[n].revents = 0;
    index.push_back(i);
    ++n;
  }
  if (n == 0) {
    // WSAPoll refuses an empty set: a plain wait stands in.
    if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    return done(0);
  }
  if (WSAPoll(fds.data(), static_cast<ULONG>(n), timeoutMs) == SOCKET_ERROR) return fail();
  int64_t ready = 0;
  for (size_t k = 0; k < n; ++k) {
    PollEntry& e = entries[index[k]];
    const SHORT ev = fds[k].revents;
    e.readable = e.wantRead && (ev & kReadEvents) != 0;
    e.writable = e.wantWrite && (ev & kWriteEvents) != 0;
    if (e.readable || e.writable) ++ready;
  }
  return done(ready);
}

NetResult socketWaitReadable(SocketHandle h, int timeoutMs) {
  PollEntry e;
  e.handle = h;
  e.wantRead = true;
  return socketPoll(&e, 1, timeoutMs);
}

bool parseIPv4(const std::string& text, uint32_t* address) {
  // inet_addr takes the classic forms (octal, hex, fewer parts); it cannot tell
  // 255.255.255.255 from a failure, so that one is checked apart.
  if (text.empty()) return false;
  const unsigned long a = inet_addr(text.c_str());
  if (a == INADDR_NONE) {
    if (text != "255.255.255.255" && text != "0xffffffff" && text != "0xFFFFFFFF") return false;
  }
  *address = static_cast<uint32_t>(a);
  return true;
}

int lookupIPv4(const std::string& host, uint32_t* address) {
  if (const int e = win::startWinsock()) return e;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (r != 0) return r == WSAHOST_NOT_FOUND ? kNetHostNotFound : r;
  int result = kNetHostNotFound;
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr) {
      *address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      result = 0;
      break;
    }
  }
  freeaddrinfo(found);
  return result;
}

// The system has no per-destination queue of datagram errors; bounces are switched off at
// creation (kUdpConnReset), so the queue is always empty here.
int socketEnableSendErrors(SocketHandle) { return 0; }

int socketTakeError(SocketHandle h) {
  int error = 0;
  int size = sizeof error;
  if (getsockopt(s(h), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return lastCode();
  }
  return error;
}

NetResult socketTakeSendError(SocketHandle, Endpoint*, int*) { return done(0); }

uint32_t hostToNet32(uint32_t v) { return htonl(v); }
uint16_t hostToNet16(uint16_t v) { return htons(v); }
uint32_t netToHost32(uint32_t v) { return ntohl(v); }

// The record is the system's duplication record in its ANSI form, which has no pointers: the
// same 372 bytes for a 32-bit and a 64-bit process.
static_assert(sizeof(WSAPROTOCOL_INFOA) == kSocketRecordSize);

int socketRecordFor(SocketHandle socket, uint32_t pid, int, uint8_t* record) {
  if (const int e = win::startWinsock()) return e;
  WSAPROTOCOL_INFOA info{};
  if (WSADuplicateSocketA(s(socket), pid, &info) != 0) return lastCode();
  std::memcpy(record, &info, sizeof info);
  return 0;
}

}  // namespace platform
