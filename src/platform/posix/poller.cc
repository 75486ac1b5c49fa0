#include "platform/poller.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/net_error.h"

namespace platform {
namespace {

uint32_t interest(bool read, bool write) {
  return (read ? EPOLLIN | EPOLLPRI : 0u) | (write ? EPOLLOUT : 0u);
}

// epoll, level-triggered. The kernel keeps ready sockets in a list that it rotates as it
// reports them, so sockets ready beyond one wait's capacity come first in the next.
class EpollPoller final : public Poller {
 public:
  explicit EpollPoller(int fd) : fd_(fd) {}
  ~EpollPoller() override { ::close(fd_); }
  EpollPoller(const EpollPoller&) = delete;
  EpollPoller& operator=(const EpollPoller&) = delete;

  int add(SocketHandle h, uint64_t key, bool read, bool write) override {
    return control(EPOLL_CTL_ADD, h, key, read, write);
  }
  int modify(SocketHandle h, uint64_t key, bool read, bool write) override {
    return control(EPOLL_CTL_MOD, h, key, read, write);
  }
  int remove(SocketHandle h) override {
    epoll_event ev{};
    return ::epoll_ctl(fd_, EPOLL_CTL_DEL, h, &ev) == 0 ? 0 : netErrorFromSystem(errno);
  }

  NetResult wait(PollEvent* events, size_t capacity, int timeoutMs) override {
    if (capacity == 0) return NetResult{0, 0};
    if (raw_.size() < capacity) raw_.resize(capacity);
    int n = ::epoll_wait(fd_, raw_.data(), static_cast<int>(capacity), timeoutMs);
    if (n < 0) {
      // A signal cut the wait short: nothing is ready, and the caller steps again anyway.
      if (errno == EINTR) return NetResult{0, 0};
      return NetResult{0, netErrorFromSystem(errno)};
    }
    for (int i = 0; i < n; ++i) {
      const uint32_t ev = raw_[i].events;
      const bool failed = (ev & (EPOLLERR | EPOLLHUP)) != 0;
      events[i].key = raw_[i].data.u64;
      events[i].readable = failed || (ev & (EPOLLIN | EPOLLPRI | EPOLLRDHUP)) != 0;
      events[i].writable = failed || (ev & EPOLLOUT) != 0;
    }
    return NetResult{n, 0};
  }

 private:
  int control(int op, SocketHandle h, uint64_t key, bool read, bool write) {
    epoll_event ev{};
    ev.events = interest(read, write);
    ev.data.u64 = key;
    return ::epoll_ctl(fd_, op, h, &ev) == 0 ? 0 : netErrorFromSystem(errno);
  }

  const int fd_;
  std::vector<epoll_event> raw_;
};

}  // namespace

std::unique_ptr<Poller> newPoller(int* error) {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    if (error) *error = netErrorFromSystem(errno);
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<EpollPoller>(fd);
}

}  // namespace platform
