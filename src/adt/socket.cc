#include "adt/socket.h"

#include <algorithm>

#include "adt/checkpoint.h"
#include "adt/exception.h"
#include "adt/log.h"

namespace adt {
namespace {

platform::Endpoint endpoint(uint32_t address, uint16_t port) {
  platform::Endpoint e;
  e.address = address;
  e.port = port;
  return e;
}

String addressText(uint32_t address, uint16_t port) { return SocketAddress{address, port}.text(); }

}  // namespace

String SocketAddress::text() const {
  return format("{family:%d,addr:%lu,port:%d}", 2, static_cast<unsigned long>(address),
                static_cast<int>(port));
}

Socket::Socket(platform::Clock& clock) : clock_(clock) {}

Socket::Socket(SocketHandle handle, platform::Clock& clock) : handle_(handle), clock_(clock) {}

Socket::~Socket() { close(); }

SocketHandle Socket::release() {
  SocketHandle h = handle_;
  handle_ = kInvalidSocket;
  return h;
}

void Socket::create(int kind) {
  close();
  platform::NetResult r = platform::socketCreate(kind == STREAM ? platform::kTcp : platform::kUdp);
  if (!r.ok()) throw SocketException("WSASocket", r.error);
  handle_ = static_cast<SocketHandle>(r.value);
  if (kind == BROADCAST) {
    const int on = 1;
    if (int e = platform::socketSetOption(handle_, platform::kBroadcast, on)) {
      throw SocketException(format("setsockopt(handle=%d,enable=%d)", handle_, on), e);
    }
  }
}

void Socket::attach(SocketHandle handle) {
  if (handle == handle_) return;
  close();
  handle_ = handle;
}

void Socket::close() {
  if (handle_ == kInvalidSocket) return;
  (void)platform::socketClose(handle_);
  handle_ = kInvalidSocket;
}

void Socket::setReuseAddress() {
  const int on = 1;
  if (int e = platform::socketSetOption(handle_, platform::kReuseAddress, on)) {
    throw SocketException(format("setsockopt(handle=%d,on=%d)", handle_, on), e);
  }
}

void Socket::setNonBlocking(bool on) {
  if (int e = platform::socketSetNonBlocking(handle_, on)) {
    throw SocketException(format("ioctlsocket(handle=%d,m=%d)", handle_, on ? 1 : 0), e);
  }
}

void Socket::bind(uint32_t address, uint16_t port) {
  if (int e = platform::socketBind(handle_, endpoint(address, port))) {
    throw SocketException(
        format("bind(handle=%d,addr=%s)", handle_, addressText(address, port).c_str()), e);
  }
}

void Socket::bind(uint16_t port) { bind(0, port); }

int Socket::maxBacklog() { return platform::maxListenBacklog(); }

void Socket::listen(int backlog) {
  if (int e = platform::socketListen(handle_, backlog)) {
    throw SocketException(format("listen(handle=%d,backlog=%d)", handle_, backlog), e);
  }
}

SocketHandle Socket::accept(SocketAddress* peer) {
  platform::Endpoint from;
  platform::NetResult r = platform::socketAccept(handle_, &from);
  if (!r.ok()) throw SocketException(format("accept(handle=%d)", handle_), r.error);
  if (peer) *peer = SocketAddress{from.address, from.port};
  return static_cast<SocketHandle>(r.value);
}

void Socket::connect(uint32_t address, uint16_t port) {
  const uint64_t started = clock_.nowMs();
  for (;;) {
    const int e = platform::socketConnect(handle_, endpoint(address, port));
    if (e == 0) return;
    // A time-out may be a busy server dropping the first attempts: keep trying a while.
    if (e == platform::kNetTimedOut && clock_.nowMs() - started <= kConnectRetryMs) {
      checkpointCurrentThread();
      continue;
    }
    throw SocketException(
        format("connect(handle=%d,addr=%s)", handle_, addressText(address, port).c_str()), e);
  }
}

void Socket::connect(const String& host, uint16_t port) { connect(resolve(host), port); }

uint32_t Socket::available() {
  platform::NetResult r = platform::socketAvailable(handle_);
  if (!r.ok()) throw SocketException(format("ioctlsocket(handle=%d)", handle_), r.error);
  return static_cast<uint32_t>(r.value);
}

bool Socket::waitReadable(uint32_t timeoutMs) {
  // Waited time is counted in slices rather than measured: the wait is a bound, not a clock.
  uint64_t waited = 0;
  bool reported = false;
  do {
    const uint32_t slice =
        static_cast<uint32_t>(std::min<uint64_t>(timeoutMs - waited, kWaitSliceMs));
    platform::NetResult r = platform::socketWaitReadable(handle_, static_cast<int>(slice));
    if (!r.ok()) {
      throw SocketException(format("select(handle=%d,timeout=%u)", handle_, slice), r.error);
    }
    if (r.value > 0) return true;
    waited += slice;
    if (waited > kLongWaitMs && !reported) {
      reported = true;
      LogLine(LOG_WARN) << "socket waiting wt:" << waited << " duration:" << timeoutMs;
    }
    checkpointCurrentThread();
  } while (waited < timeoutMs);
  return false;
}

bool Socket::hasInput(uint32_t timeoutMs) {
  if (available() > 0) return true;
  return waitReadable(timeoutMs);
}

int Socket::recv(void* buffer, size_t len) {
  if (available() == 0 && !waitReadable(timeoutMs_)) return 0;
  platform::NetResult r = platform::socketRecv(handle_, buffer, len);
  if (!r.ok()) throw SocketException(format("recv(handle=%d,len=%zu)", handle_, len), r.error);
  return static_cast<int>(r.value);
}

void Socket::sendAll(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint64_t started = clock_.nowMs();
  uint64_t lastLine = started;
  size_t sent = 0;
  while (sent < n) {
    if (sent > 0) {
      const uint64_t now = clock_.nowMs();
      if (now - lastLine >= kSlowSendMs) {
        lastLine = now;
        LogLine(LOG_WARN) << "!net Socket::Send transfered " << sent << " of " << n;
      }
      checkpointCurrentThread();
    }
    const size_t piece = std::min(n - sent, kSendPiece);
    // A blocking send takes the whole piece unless a signal cut it short; then the rest
    // follows at once.
    size_t taken = 0;
    while (taken < piece) {
      platform::NetResult r = platform::socketSend(handle_, p + sent + taken, piece - taken);
      if (!r.ok()) {
        throw SocketException(format("send(handle=%d,sendSize=%zu)", handle_, piece), r.error);
      }
      taken += static_cast<size_t>(r.value);
    }
    sent += piece;
  }
  const uint64_t took = clock_.nowMs() - started;
  if (took >= kSlowSendMs) {
    LogLine(LOG_WARN) << "!net Socket::Send time: " << took << " size: " << n;
  }
}

void Socket::sendAll(const Chunk* chunks, size_t count) {
  platform::IoSlice group[kGatherGroup];
  size_t grouped = 0;
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const Chunk& c = chunks[i];
    if (c.size == 0) continue;
    if (c.size > kSendPiece) {
      // Too big to gather: what is grouped so far goes first, then this chunk alone.
      sendGroup(group, grouped, bytes);
      grouped = bytes = 0;
      sendAll(c.data, c.size);
      continue;
    }
    group[grouped++] = platform::IoSlice{c.data, c.size};
    bytes += c.size;
    if (grouped == kGatherGroup) {
      sendGroup(group, grouped, bytes);
      grouped = bytes = 0;
    }
  }
  sendGroup(group, grouped, bytes);
}

void Socket::sendGroup(const platform::IoSlice* slices, size_t count, size_t bytes) {
  if (count == 0) return;
  const uint64_t started = clock_.nowMs();
  platform::IoSlice rest[kGatherGroup];
  std::copy(slices, slices + count, rest);
  platform::IoSlice* first = rest;
  size_t left = count;
  // One gathered send normally takes everything; after a short one the rest follows.
  while (left > 0) {
    platform::NetResult r = platform::socketSendGather(handle_, first, left);
    if (!r.ok()) throw SocketException("WSASend", r.error);
    size_t taken = static_cast<size_t>(r.value);
    while (left > 0 && taken >= first->size) {
      taken -= first->size;
      ++first;
      --left;
    }
    if (left > 0) {
      first->data = static_cast<const uint8_t*>(first->data) + taken;
      first->size -= taken;
    }
  }
  checkpointCurrentThread();
  const uint64_t took = clock_.nowMs() - started;
  if (took >= kSlowSendMs) {
    LogLine(LOG_WARN) << "!net WSASend time: " << took << " size: " << bytes;
  }
}

int Socket::sendTo(const void* data, size_t len, const SocketAddress& to) {
  platform::NetResult r = platform::socketSendTo(handle_, data, len, endpoint(to.address, to.port));
  if (!r.ok()) {
    throw SocketException(
        format("sendto(handle=%d,len=%zu,addr=%s)", handle_, len, to.text().c_str()), r.error);
  }
  return static_cast<int>(r.value);
}

int Socket::recvFrom(void* buffer, size_t len, SocketAddress* from) {
  platform::Endpoint sender;
  platform::NetResult r = platform::socketRecvFrom(handle_, buffer, len, &sender);
  if (!r.ok()) {
    throw SocketException(format("recvfrom(handle=%d,len=%zu,client_addr=%p,addr_len=%d)", handle_,
                                 len, static_cast<void*>(from), 16),
                          r.error);
  }
  if (from) *from = SocketAddress{sender.address, sender.port};
  return static_cast<int>(r.value);
}

SocketAddress Socket::peerAddress() {
  platform::Endpoint peer;
  if (int e = platform::socketPeerName(handle_, &peer)) {
    throw SocketException(format("getpeername(handle=%d,len=%d)", handle_, 16), e);
  }
  return SocketAddress{peer.address, peer.port};
}

uint16_t Socket::localPort() {
  platform::Endpoint local;
  if (int e = platform::socketLocalName(handle_, &local)) {
    throw SocketException(format("getsockname(handle=%d,len=%d)", handle_, 16), e);
  }
  return local.port;
}

void Socket::shutdown(int how) {
  const platform::ShutdownHow mode = how == RECEIVE ? platform::kShutReceive
                                     : how == SEND  ? platform::kShutSend
                                                    : platform::kShutBoth;
  if (int e = platform::socketShutdown(handle_, mode)) {
    throw SocketException(format("shutdown(handle=%d,how=%d)", handle_, how), e);
  }
}

bool Socket::isDottedQuad(const String& host) {
  if (host.empty()) return false;
  int dots = 0;
  for (char c : host) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots == 3;
}

uint32_t Socket::resolve(const String& host) {
  uint32_t address = 0;
  if (isDottedQuad(host)) {
    // Taken as written; a quad that is no address ("300.1.1.1") must not become the
    // all-ones address the classic converter returns for bad input.
    if (!platform::parseIPv4(host, &address)) throw HostNotFoundSocketException();
    return address;
  }
  if (platform::lookupIPv4(host, &address) != 0) throw HostNotFoundSocketException();
  return address;
}

}  // namespace adt
