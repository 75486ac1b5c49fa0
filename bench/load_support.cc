#include "load_support.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "adt/tagged_writer.h"
#include "adt/text.h"

namespace amload {

std::atomic<bool> gStop{false};
std::atomic<pid_t> gAmPid{0};

namespace {

void onFatalSignal(int sig) {
  const pid_t am = gAmPid.load();
  if (am > 0) ::kill(am, SIGKILL);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void onStopSignal(int sig) {
  if (gStop.exchange(true)) onFatalSignal(sig);  // a second one ends the driver at once
}

std::string bytesOf(adt::MemoryTaggedWriter& w) {
  return std::string(reinterpret_cast<const char*>(w.data()), w.size());
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1000000));
}

// True when `events` came on `fd` before the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, remainingMs(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

// A non-blocking socket connecting to 127.0.0.1:port; -1 when connect failed at once.
int startConnect(uint16_t port, int* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  const sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  *error = 0;
  return fd;
}

Outcome exchangeOn(int fd, const Wire& w, Clock::time_point deadline, Exchange& out) {
  if (!waitFor(fd, POLLOUT, deadline)) return Outcome::kTimedOut;
  int err = 0;
  socklen_t len = sizeof err;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err == ECONNREFUSED) return Outcome::kRefused;
  if (err != 0) return Outcome::kError;
  char buf[65536];
  size_t have = 0;
  while (have < w.greeting.size()) {
    if (!waitFor(fd, POLLIN, deadline)) return Outcome::kTimedOut;
    const ssize_t n = ::recv(fd, buf + have, sizeof buf - have, 0);
    if (n == 0) return Outcome::kClosedEarly;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return errno == ECONNRESET ? Outcome::kClosedEarly : Outcome::kError;
    }
    have += static_cast<size_t>(n);
  }
  if (std::memcmp(buf, w.greeting.data(), 8) != 0) return Outcome::kBadGreeting;
  out.replyBytes = have - w.greeting.size();
  size_t sent = 0;
  while (sent < w.request.size()) {
    const ssize_t n = ::send(fd, w.request.data() + sent, w.request.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) return Outcome::kClosedEarly;
      if (!waitFor(fd, POLLOUT, deadline)) return Outcome::kTimedOut;
      continue;
    }
    sent += static_cast<size_t>(n);
  }
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) return Outcome::kOk;  // an empty list is an empty reply
    if (n > 0) {
      out.replyBytes += static_cast<size_t>(n);
      continue;
    }
    if (errno == ECONNRESET) return Outcome::kClosedEarly;
    if (errno != EAGAIN && errno != EINTR) return Outcome::kError;
    if (!waitFor(fd, POLLIN, deadline)) return Outcome::kTimedOut;
  }
}

double percentile(std::vector<double>& sorted, double q, bool* failed) {
  const size_t n = sorted.size();
  const size_t i = n == 0 ? 0 : std::min(n - 1, static_cast<size_t>(q * static_cast<double>(n)));
  *failed = n == 0 || sorted[i] < 0;
  return n == 0 ? 0 : sorted[i];
}

}  // namespace

void installSignalHandlers(unsigned hardCapSeconds) {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGINT, onStopSignal);
  ::signal(SIGTERM, onStopSignal);
  ::signal(SIGHUP, onFatalSignal);
  ::signal(SIGALRM, onFatalSignal);
  ::alarm(hardCapSeconds);
}

uint64_t raiseDescriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
  r.rlim_cur = r.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &r);
  ::getrlimit(RLIMIT_NOFILE, &r);
  return r.rlim_cur;
}

const Wire& wire() {
  static const Wire w = [] {
    Wire x;
    adt::MemoryTaggedWriter g;
    g.writeStreamSignature();
    g.writeInt(7, 10);
    g.writeInt(78, 4);
    x.greeting = bytesOf(g);
    adt::MemoryTaggedWriter r;
    r.writeStreamSignature();
    r.writeInt(7, 10);
    const uint8_t none = 0;
    r.writeTag(32, &none, 0);
    x.request = bytesOf(r);
    return x;
  }();
  return w;
}

const char* outcomeName(Outcome o) {
  switch (o) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kTimedOut:
      return "timed out";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kClosedEarly:
      return "closed early";
    case Outcome::kBadGreeting:
      return "bad greeting";
    case Outcome::kError:
      break;
  }
  return "error";
}

Exchange exchange(uint16_t port, Ms timeout) {
  const auto start = Clock::now();
  Exchange out;
  int error = 0;
  const int fd = startConnect(port, &error);
  if (fd < 0) {
    out.outcome = error == ECONNREFUSED ? Outcome::kRefused : Outcome::kError;
    return out;
  }
  out.outcome = exchangeOn(fd, wire(), start + timeout, out);
  ::close(fd);
  out.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return out;
}

void Counts::add(Outcome o) {
  if (o == Outcome::kOk) {
    ++ok;
  } else if (o == Outcome::kTimedOut) {
    ++timedOut;
  } else {
    ++failed;
  }
}

std::string Counts::text() const {
  return adt::format("%llu ok, %llu timed out, %llu failed", static_cast<unsigned long long>(ok),
                     static_cast<unsigned long long>(timedOut),
                     static_cast<unsigned long long>(failed));
}

Rate measureRate(uint16_t port, int threads, uint64_t maxRequests, Ms duration, Ms timeout) {
  std::atomic<uint64_t> issued{0};
  std::vector<Counts> counts(static_cast<size_t>(threads));
  std::vector<size_t> replyBytes(static_cast<size_t>(threads), 0);
  const auto start = Clock::now();
  const auto end = start + duration;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      while (!gStop && Clock::now() < end && issued.fetch_add(1) < maxRequests) {
        const Exchange e = exchange(port, timeout);
        counts[static_cast<size_t>(t)].add(e.outcome);
        if (e.outcome == Outcome::kOk) replyBytes[static_cast<size_t>(t)] = e.replyBytes;
      }
    });
  }
  for (std::thread& t : pool) t.join();
  Rate r;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (size_t t = 0; t < counts.size(); ++t) {
    r.counts.ok += counts[t].ok;
    r.counts.timedOut += counts[t].timedOut;
    r.counts.failed += counts[t].failed;
    r.replyBytes = std::max(r.replyBytes, replyBytes[t]);
  }
  r.perSecond = r.seconds > 0 ? static_cast<double>(r.counts.ok) / r.seconds : 0;
  return r;
}

Latency measureLatency(uint16_t port, int samples, Ms cap, Ms timeout) {
  Latency l;
  std::vector<double> ms;  // -1 for a failed attempt
  const auto end = Clock::now() + cap;
  for (int i = 0; i < samples && !gStop && Clock::now() < end; ++i) {
    const Exchange e = exchange(port, timeout);
    l.counts.add(e.outcome);
    ms.push_back(e.outcome == Outcome::kOk ? e.ms : -1);
  }
  // Failures sort last: slower than any success.
  std::sort(ms.begin(), ms.end(), [](double a, double b) {
    if (a < 0 || b < 0) return b < 0 && a >= 0;
    return a < b;
  });
  l.p50 = percentile(ms, 0.50, &l.p50Failed);
  l.p99 = percentile(ms, 0.99, &l.p99Failed);
  return l;
}

TrivialServer::TrivialServer(size_t replySize) : replySize_(replySize) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("trivial server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
}

TrivialServer::~TrivialServer() {
  done_ = true;
  thread_.join();
  ::close(listener_);
}

void TrivialServer::serve() {
  // One thread, like the manager's dispatcher: every ready socket is served in turn, so one
  // client's round trip never holds up the others.
  const std::string reply(replySize_, 'x');
  const Wire& w = wire();
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event add{};
  add.events = EPOLLIN;
  add.data.fd = listener_;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listener_, &add);
  std::unordered_map<int, size_t> received;  // open connections: request bytes so far
  char buf[4096];
  epoll_event ready[64];
  while (!done_ && !gStop) {
    const int n = ::epoll_wait(ep, ready, 64, 100);
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listener_) {
        for (int c;
             (c = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
          if (::send(c, w.greeting.data(), w.greeting.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(w.greeting.size())) {
            ::close(c);
            continue;
          }
          epoll_event in{};
          in.events = EPOLLIN;
          in.data.fd = c;
          ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &in);
          received[c] = 0;
        }
        continue;
      }
      const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      size_t& have = received[fd];
      if (got > 0) have += static_cast<size_t>(got);
      if (got > 0 && have < w.request.size()) continue;
      // A small reply always fits the empty send buffer of a fresh connection.
      if (got > 0) ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      received.erase(fd);
      ::close(fd);  // also leaves the epoll set
    }
  }
  for (const auto& [fd, have] : received) ::close(fd);
  ::close(ep);
}

size_t Connections::open(uint16_t port, size_t count, Ms cap) {
  constexpr size_t kBatch = 100;
  const auto end = Clock::now() + cap;
  while (fds_.size() < count && !gStop && Clock::now() < end) {
    std::vector<pollfd> batch;
    for (size_t i = 0; i < kBatch && fds_.size() + batch.size() < count; ++i) {
      int error = 0;
      const int fd = startConnect(port, &error);
      if (fd < 0) break;
      batch.push_back({fd, POLLOUT, 0});
    }
    if (batch.empty()) break;
    // Each batch gets a few seconds: a manager that stopped accepting lets SYNs wait.
    const auto batchEnd = std::min(end, Clock::now() + Ms(5000));
    size_t pending = batch.size();
    while (pending > 0 && Clock::now() < batchEnd) {
      const int r = ::poll(batch.data(), batch.size(), remainingMs(batchEnd));
      if (r <= 0) break;
      for (pollfd& p : batch) {
        if (p.fd < 0 || p.revents == 0) continue;
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) {
          fds_.push_back(p.fd);
        } else {
          ::close(p.fd);
        }
        p.fd = -1;
        --pending;
      }
    }
    for (pollfd& p : batch) {
      if (p.fd >= 0) ::close(p.fd);
    }
  }
  return fds_.size();
}

void Connections::sendAll(const std::string& bytes) {
  for (int& fd : fds_) {
    if (fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
                       static_cast<ssize_t>(bytes.size())) {
      ::close(fd);
      fd = -1;
    }
  }
  fds_.erase(std::remove(fds_.begin(), fds_.end(), -1), fds_.end());
}

size_t Connections::closedByPeer() {
  size_t closed = 0;
  char buf[4096];
  for (int fd : fds_) {
    for (int reads = 0; reads < 64; ++reads) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n == 0 || errno == ECONNRESET) ++closed;
      break;
    }
  }
  return closed;
}

void Connections::closeAll() {
  for (int fd : fds_) ::close(fd);
  fds_.clear();
}

Trickle trickle(Connections& c, int rounds, Ms pause, Ms cap) {
  Trickle t;
  const int one = 1;
  for (int fd : c.fds()) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const auto start = Clock::now();
  const auto end = start + cap;
  const std::string byte(1, '\0');
  for (; t.rounds < rounds && !gStop && Clock::now() < end; ++t.rounds) {
    const size_t before = c.size();
    c.sendAll(byte);
    t.bytesSent += std::min(before, c.size());
    std::this_thread::sleep_for(pause);  // lets the peer take each byte on its own
  }
  t.connections = c.size();
  t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return t;
}

}  // namespace amload
