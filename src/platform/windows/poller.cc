// The poller over WSAPoll: the registered sockets are kept in one array that every wait hands
// to the system. Level-triggered like WSAPoll itself; ready sockets beyond one wait's capacity
// come first in the next (the scan starts where the last one stopped).
#include "platform/poller.h"

#include <unordered_map>
#include <vector>

#include "platform/windows/win.h"

namespace platform {
namespace {

SHORT interest(bool read, bool write) {
  return static_cast<SHORT>((read ? POLLRDNORM : 0) | (write ? POLLWRNORM : 0));
}

class WsaPoller final : public Poller {
 public:
  int add(SocketHandle h, uint64_t key, bool read, bool write) override {
    if (h < 0) return WSAENOTSOCK;
    if (index_.count(h)) return WSAEINVAL;
    index_[h] = fds_.size();
    WSAPOLLFD fd{};
    fd.fd = win::toSocket(h);
    fd.events = interest(read, write);
    fds_.push_back(fd);
    keys_.push_back(key);
    return 0;
  }

  int modify(SocketHandle h, uint64_t key, bool read, bool write) override {
    auto it = index_.find(h);
    if (it == index_.end()) return WSAENOTSOCK;
    fds_[it->second].events = interest(read, write);
    keys_[it->second] = key;
    return 0;
  }

  int remove(SocketHandle h) override {
    auto it = index_.find(h);
    if (it == index_.end()) return WSAENOTSOCK;
    const size_t at = it->second;
    const size_t last = fds_.size() - 1;
    if (at != last) {
      fds_[at] = fds_[last];
      keys_[at] = keys_[last];
      index_[win::fromSocket(fds_[at].fd)] = at;
    }
    fds_.pop_back();
    keys_.pop_back();
    index_.erase(it);
    return 0;
  }

  NetResult wait(PollEvent* events, size_t capacity, int timeoutMs) override {
    // A socket with no interest still reports errors and hang-ups in WSAPoll; such entries are
    // left out of the call, as the other platform reports nothing for them either.
    active_.clear();
    for (size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i].events) active_.push_back(i);
    }
    if (active_.empty()) {
      if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
      return NetResult{0, 0};
    }
    call_.resize(active_.size());
    for (size_t k = 0; k < active_.size(); ++k) {
      call_[k] = fds_[active_[k]];
      call_[k].revents = 0;
    }
    const int r = WSAPoll(call_.data(), static_cast<ULONG>(call_.size()), timeoutMs);
    if (r == SOCKET_ERROR) return NetResult{0, WSAGetLastError()};
    size_t n = 0;
    const size_t total = call_.size();
    const size_t start = next_ % total;
    for (size_t step = 0; step < total && n < capacity; ++step) {
      const size_t k = (start + step) % total;
      const SHORT ev = call_[k].revents;
      if (!ev) continue;
      const SHORT asked = call_[k].events;
      const bool problem = (ev & (POLLERR | POLLHUP | POLLNVAL)) != 0;
      PollEvent& e = events[n];
      e.key = keys_[active_[k]];
      e.readable = (asked & POLLRDNORM) && ((ev & (POLLRDNORM | POLLRDBAND)) || problem);
      e.writable = (asked & POLLWRNORM) && ((ev & POLLWRNORM) || problem);
      if (!e.readable && !e.writable) continue;
      ++n;
      next_ = k + 1;
    }
    return NetResult{static_cast<int64_t>(n), 0};
  }

 private:
  std::vector<WSAPOLLFD> fds_;
  std::vector<uint64_t> keys_;
  std::unordered_map<SocketHandle, size_t> index_;
  std::vector<size_t> active_;
  std::vector<WSAPOLLFD> call_;
  size_t next_ = 0;
};

}  // namespace

std::unique_ptr<Poller> newPoller(int* error) {
  if (const int e = win::startWinsock()) {
    if (error) *error = e;
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<WsaPoller>();
}

}  // namespace platform
