#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/posix/net_error.h"

namespace platform {

namespace {

// errno -> the Winsock number with the same meaning. EPIPE (sending on a connection that the
// peer has reset or closed) reads as a reset: that is what the code above must treat as "the
// peer went away", and the other platform reports a reset in that situation. EBADF reads as
// "not a socket", as an invalid handle does there.
struct Translation {
  int system;
  int winsock;
};
constexpr Translation kTranslations[] = {
    {EINTR, 10004},        {EACCES, 10013},          {EPERM, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},
    {ENFILE, 10024},       {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},     {ENOTSOCK, 10038},        {EBADF, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
    {ENOMEM, 10055},       {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
};

int translate(int code) { return netErrorFromSystem(code); }

int lastCode() { return translate(errno); }

NetResult fail() { return NetResult{0, lastCode()}; }
NetResult done(int64_t v) { return NetResult{v, 0}; }

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

uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// poll() resumed after signals with the time that is left.
int pollResumed(pollfd* fds, size_t count, int timeoutMs) {
  const uint64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + static_cast<uint64_t>(timeoutMs);
  int wait = timeoutMs;
  for (;;) {
    int r = ::poll(fds, static_cast<nfds_t>(count), wait);
    if (r >= 0 || errno != EINTR) return r;
    if (timeoutMs >= 0) {
      const uint64_t now = monotonicMs();
      wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
  }
}

constexpr short kReadEvents = POLLIN | POLLPRI | POLLERR | POLLHUP | POLLNVAL;
constexpr short kWriteEvents = POLLOUT | POLLERR | POLLHUP | POLLNVAL;

}  // namespace

int netErrorFromSystem(int code) {
  if (code == 0) return 0;
  // EWOULDBLOCK is EAGAIN here.
  static_assert(EWOULDBLOCK == EAGAIN);
  for (const Translation& t : kTranslations) {
    if (t.system == code) return t.winsock;
  }
  return code;  // no counterpart: below every Winsock number, an unknown error
}

NetResult socketCreate(SocketType type) {
  const int kind = type == kUdp ? SOCK_DGRAM : SOCK_STREAM;
  int fd = ::socket(AF_INET, kind | SOCK_CLOEXEC, 0);
  return fd < 0 ? fail() : done(fd);
}

int socketClose(SocketHandle h) {
  if (h < 0) return 0;
  // Never retried: the descriptor is released even when close reports an interruption.
  return ::close(h) == 0 || errno == EINTR ? 0 : lastCode();
}

int socketSetOption(SocketHandle h, SocketOption option, int value) {
  int r;
  switch (option) {
    case kReuseAddress:
      r = setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value);
      break;
    case kBroadcast:
      r = setsockopt(h, SOL_SOCKET, SO_BROADCAST, &value, sizeof value);
      break;
    case kSendBuffer:
      r = setsockopt(h, SOL_SOCKET, SO_SNDBUF, &value, sizeof value);
      break;
    case kReceiveBuffer:
      r = setsockopt(h, SOL_SOCKET, SO_RCVBUF, &value, sizeof value);
      break;
    case kLinger: {
      linger l{};
      l.l_onoff = value >= 0 ? 1 : 0;
      l.l_linger = value >= 0 ? value : 0;
      r = setsockopt(h, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      break;
    }
    default:
      errno = ENOPROTOOPT;
      r = -1;
      break;
  }
  return r == 0 ? 0 : lastCode();
}

int socketSetNonBlocking(SocketHandle h, bool on) {
  int flags = fcntl(h, F_GETFL);
  if (flags < 0) return lastCode();
  flags = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  return fcntl(h, F_SETFL, flags) == 0 ? 0 : lastCode();
}

int socketBind(SocketHandle h, const Endpoint& local) {
  sockaddr_in sa = toSockaddr(local);
  return ::bind(h, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : lastCode();
}

int maxListenBacklog() { return SOMAXCONN; }

namespace {

// One descriptor kept in reserve, so that a listener can still take (and refuse) a connection
// when the process has used up its descriptors. Main thread only.
int g_reserve = -1;

void takeReserve() {
  if (g_reserve < 0) g_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

int socketListen(SocketHandle h, int backlog) {
  if (::listen(h, backlog) != 0) return lastCode();
  takeReserve();
  return 0;
}

bool socketShedPending(SocketHandle listening) {
  if (g_reserve < 0) return false;
  ::close(g_reserve);
  g_reserve = -1;
  int fd;
  do {
    fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) ::close(fd);
  takeReserve();
  return fd >= 0;
}

NetResult socketAccept(SocketHandle h, Endpoint* peer, bool nonBlocking) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
  int fd;
  do {
    fd = ::accept4(h, reinterpret_cast<sockaddr*>(&sa), &len, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail();
  fromSockaddr(sa, peer);
  return done(fd);
}

int socketConnect(SocketHandle h, const Endpoint& remote) {
  sockaddr_in sa = toSockaddr(remote);
  if (::connect(h, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINTR) return lastCode();
  // An interrupted connect goes on in the background: wait for its outcome.
  pollfd p{h, POLLOUT, 0};
  if (pollResumed(&p, 1, -1) < 0) return lastCode();
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(h, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return lastCode();
  return translate(err);
}

NetResult socketAvailable(SocketHandle h) {
  int n = 0;
  return ioctl(h, FIONREAD, &n) == 0 ? done(n) : fail();
}

NetResult socketRecv(SocketHandle h, void* buffer, size_t length) {
  ssize_t r;
  do {
    r = ::recv(h, buffer, length, 0);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? fail() : done(r);
}

NetResult socketSend(SocketHandle h, const void* data, size_t length) {
  ssize_t r;
  do {
    r = ::send(h, data, length, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? fail() : done(r);
}

NetResult socketSendGather(SocketHandle h, const IoSlice* slices, size_t count) {
  std::vector<iovec> iov(count);
  for (size_t i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<void*>(slices[i].data);
    iov[i].iov_len = slices[i].size;
  }
  msghdr msg{};
  msg.msg_iov = iov.data();
  msg.msg_iovlen = count;
  ssize_t r;
  do {
    r = ::sendmsg(h, &msg, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? fail() : done(r);
}

NetResult socketSendTo(SocketHandle h, const void* data, size_t length, const Endpoint& to) {
  sockaddr_in sa = toSockaddr(to);
  ssize_t r;
  do {
    r = ::sendto(h, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? fail() : done(r);
}

NetResult socketRecvFrom(SocketHandle h, void* buffer, size_t length, Endpoint* from) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t r;
  do {
    r = ::recvfrom(h, buffer, length, 0, reinterpret_cast<sockaddr*>(&sa), &len);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return fail();
  fromSockaddr(sa, from);
  return done(r);
}

NetResult socketRecvBatch(SocketHandle h, DatagramSlot* slots, size_t count) {
  constexpr size_t kMost = 64;
  count = std::min(count, kMost);
  mmsghdr messages[kMost];
  iovec parts[kMost];
  sockaddr_in senders[kMost];
  for (size_t i = 0; i < count; ++i) {
    parts[i] = iovec{slots[i].buffer, slots[i].capacity};
    senders[i] = sockaddr_in{};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  int r;
  do {
    r = ::recvmmsg(h, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return fail();
  for (int i = 0; i < r; ++i) {
    slots[i].size = messages[i].msg_len;
    fromSockaddr(senders[i], &slots[i].from);
  }
  return done(r);
}

int socketPeerName(SocketHandle h, Endpoint* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getpeername(h, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return lastCode();
  fromSockaddr(sa, peer);
  return 0;
}

int socketLocalName(SocketHandle h, Endpoint* local) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(h, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return lastCode();
  fromSockaddr(sa, local);
  return 0;
}

int socketShutdown(SocketHandle h, ShutdownHow how) {
  // A listening socket has no connection to shut down; this system would accept the call and
  // do nothing, which would leave a closing listener waiting forever for its peer.
  int listening = 0;
  socklen_t len = sizeof listening;
  if (getsockopt(h, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening) {
    return translate(ENOTCONN);
  }
  const int mode = how == kShutReceive ? SHUT_RD : how == kShutSend ? SHUT_WR : SHUT_RDWR;
  return ::shutdown(h, mode) == 0 ? 0 : lastCode();
}

NetResult socketPoll(PollEntry* entries, size_t count, int timeoutMs) {
  constexpr size_t kInline = 64;
  pollfd inlineFds[kInline];
  std::vector<pollfd> heapFds;
  pollfd* fds = inlineFds;
  if (count > kInline) {
    heapFds.resize(count);
    fds = heapFds.data();
  }
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = entries[i].handle;
    fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                       (entries[i].wantWrite ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  if (pollResumed(fds, count, timeoutMs) < 0) return fail();
  int64_t ready = 0;
  for (size_t i = 0; i < count; ++i) {
    const short ev = fds[i].revents;
    entries[i].readable = entries[i].wantRead && (ev & kReadEvents) != 0;
    entries[i].writable = entries[i].wantWrite && (ev & kWriteEvents) != 0;
    if (entries[i].readable || entries[i].writable) ++ready;
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
  in_addr a{};
  if (inet_aton(text.c_str(), &a) == 0) return false;
  *address = a.s_addr;
  return true;
}

int lookupIPv4(const std::string& host, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (r != 0) {
    switch (r) {
      case EAI_NONAME:
        return kNetHostNotFound;
      case EAI_AGAIN:
        return 11002;
#ifdef EAI_NODATA
      case EAI_NODATA:
        return 11004;
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
        return 11004;
#endif
      case EAI_MEMORY:
        return 10055;
      case EAI_SYSTEM:
        return lastCode();
      default:
        return 11003;
    }
  }
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

int socketEnableSendErrors(SocketHandle h) {
  const int on = 1;
  return ::setsockopt(h, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0 ? 0 : lastCode();
}

int socketTakeError(SocketHandle h) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(h, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return lastCode();
  return translate(error);
}

NetResult socketTakeSendError(SocketHandle h, Endpoint* to, int* code) {
  char data[64];
  alignas(cmsghdr) char control[256];
  sockaddr_in destination{};
  iovec iov{data, sizeof data};
  msghdr msg{};
  msg.msg_name = &destination;
  msg.msg_namelen = sizeof destination;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(h, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN ? done(0) : fail();
  int error = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
    sock_extended_err err;
    std::memcpy(&err, CMSG_DATA(c), sizeof err);
    // The port answered "unreachable": what the other platform reports as a reset.
    error = err.ee_origin == SO_EE_ORIGIN_ICMP && err.ee_errno == ECONNREFUSED
                ? kNetConnReset
                : translate(static_cast<int>(err.ee_errno));
  }
  fromSockaddr(destination, to);
  if (code) *code = error;
  return done(1);
}

uint32_t hostToNet32(uint32_t v) { return htonl(v); }
uint16_t hostToNet16(uint16_t v) { return htons(v); }
uint32_t netToHost32(uint32_t v) { return ntohl(v); }

int socketRecordFor(SocketHandle, uint32_t, int inheritedHandle, uint8_t* record) {
  if (inheritedHandle < 0) return kNetInvalidArgument;
  std::memset(record, 0, kSocketRecordSize);
  const auto n = static_cast<uint32_t>(inheritedHandle);
  for (int i = 0; i < 4; ++i) record[i] = static_cast<uint8_t>(n >> (8 * i));
  return 0;
}

}  // namespace platform
