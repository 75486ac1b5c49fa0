#include "platform/pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

void closeQuietly(int& fd) {
  if (fd >= 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = -1;
  }
}

// Makes `dir` if missing; it must then be a directory of ours, not a link to one.
bool ensurePrivateDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    errno = EACCES;
    return false;
  }
  return true;
}

// Creates the directories between `root` and the last component of `name`.
bool ensureDirectories(const std::string& root, const std::string& name) {
  if (!ensurePrivateDirectory(root)) return false;
  size_t pos = 0;
  while ((pos = name.find('/', pos)) != std::string::npos) {
    if (pos > 0 && !ensurePrivateDirectory(root + "/" + name.substr(0, pos))) return false;
    ++pos;
  }
  return true;
}

}  // namespace

PipeRead drainPipe(int readHandle, std::string& out, size_t limit) {
  char buf[65536];
  size_t taken = 0;
  while (taken < limit) {
    const size_t want = limit - taken < sizeof buf ? limit - taken : sizeof buf;
    const ssize_t n = ::read(readHandle, buf, want);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      taken += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return PipeRead::kEnd;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PipeRead::kWouldBlock;
    return PipeRead::kError;
  }
  return PipeRead::kWouldBlock;
}

bool waitPipeReadable(int readHandle, int timeoutMs) {
  struct pollfd p {};
  p.fd = readHandle;
  p.events = POLLIN;
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

struct PipeWatch::Table {
  std::vector<Watched> byFd;  // indexed by the descriptor; `on` marks the watched ones
};

PipeWatch::PipeWatch()
    : handle_(::epoll_create1(EPOLL_CLOEXEC)), table_(std::make_unique<Table>()) {}

PipeWatch::~PipeWatch() {
  if (handle_ >= 0) ::close(handle_);
}

bool PipeWatch::add(int readHandle) {
  if (handle_ < 0 || readHandle < 0) return false;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = readHandle;
  if (::epoll_ctl(handle_, EPOLL_CTL_ADD, readHandle, &e) != 0 &&
      (errno != EEXIST || ::epoll_ctl(handle_, EPOLL_CTL_MOD, readHandle, &e) != 0)) {
    return false;
  }
  // Counts as ready until a look has been made since.
  std::vector<Watched>& byFd = table_->byFd;
  if (static_cast<size_t>(readHandle) >= byFd.size()) byFd.resize(readHandle + size_t{1});
  if (!byFd[readHandle].on) ++count_;
  byFd[readHandle] = Watched{looks_, 0, false, true};
  return true;
}

PipeWatch::Watched* PipeWatch::find(int readHandle) {
  std::vector<Watched>& byFd = table_->byFd;
  if (readHandle < 0 || static_cast<size_t>(readHandle) >= byFd.size()) return nullptr;
  Watched& w = byFd[readHandle];
  return w.on ? &w : nullptr;
}

void PipeWatch::remove(int readHandle) {
  Watched* w = find(readHandle);
  if (!w) return;
  w->on = false;
  --count_;
  const int saved = errno;
  ::epoll_ctl(handle_, EPOLL_CTL_DEL, readHandle, nullptr);
  errno = saved;
}

bool PipeWatch::look() {
  lastLookOk_ = false;
  if (handle_ < 0) return false;
  if (count_ == 0) {
    ++looks_;
    lastLookOk_ = true;
    return true;
  }
  // Room for every watched end at once, so one call sees them all.
  const size_t n = count_;
  events_.resize((n * sizeof(epoll_event) + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  auto* events = reinterpret_cast<epoll_event*>(events_.data());
  int r;
  do {
    r = ::epoll_wait(handle_, events, static_cast<int>(n), 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return false;
  ++looks_;
  for (int i = 0; i < r; ++i) {
    if (Watched* w = find(events[i].data.fd)) w->seen = looks_;
  }
  lastLookOk_ = true;
  return true;
}

bool PipeWatch::mayBeReady(int readHandle) const {
  if (!lastLookOk_) return true;
  const Watched* w = find(readHandle);
  return !w || w->added == looks_ || w->seen == looks_;
}

OutputPipe::~OutputPipe() { close(); }

bool OutputPipe::create(size_t bufferBytes) {
  close();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  if (::fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
    const int saved = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    errno = saved;
    return false;
  }
  if (bufferBytes > 0) {
    // Best effort: the system caps the size an unprivileged process may ask for.
    const int saved = errno;
    ::fcntl(fds[0], F_SETPIPE_SZ, static_cast<int>(bufferBytes));
    errno = saved;
  }
  read_ = fds[0];
  write_ = fds[1];
  return true;
}

void OutputPipe::closeWriteEnd() { closeQuietly(write_); }

void OutputPipe::close() {
  closeQuietly(write_);
  closeQuietly(read_);
}

std::string defaultPipeRoot() { return "/tmp/.am-pipe"; }

NamedPipe::~NamedPipe() { close(); }

PipeCreate NamedPipe::create(const std::string& root, const std::string& name, size_t bufferBytes) {
  return open(root, name, bufferBytes, true);
}

PipeCreate NamedPipe::adopt(const std::string& root, const std::string& name, size_t bufferBytes) {
  return open(root, name, bufferBytes, false);
}

PipeCreate NamedPipe::open(const std::string& root, const std::string& name, size_t bufferBytes,
                           bool fresh) {
  close();
  if (name.empty() || name.front() == '/' || name.back() == '/') {
    errno = EINVAL;
    return PipeCreate::kFailed;
  }
  if (!ensureDirectories(root, name)) return PipeCreate::kFailed;
  const std::string path = root + "/" + name;
  const std::string lockPath = path + ".lock";

  int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) return PipeCreate::kFailed;
  int r;
  do {
    r = ::flock(lock, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const bool busy = errno == EWOULDBLOCK;
    closeQuietly(lock);
    if (busy) {
      errno = EBUSY;
      return PipeCreate::kBusy;
    }
    return PipeCreate::kFailed;
  }

  if (fresh) {
    // The name is ours: start from a fresh FIFO (see the class comment).
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      closeQuietly(lock);
      return PipeCreate::kFailed;
    }
    if (::mkfifo(path.c_str(), 0600) != 0) {
      closeQuietly(lock);
      return PipeCreate::kFailed;
    }
  } else {
    // The FIFO a writer still holds: only a FIFO of ours, never a file planted in its place.
    struct stat st {};
    const bool found = ::lstat(path.c_str(), &st) == 0;
    if (!found || !S_ISFIFO(st.st_mode) || st.st_uid != ::geteuid()) {
      const int saved = found ? EEXIST : errno;
      closeQuietly(lock);
      errno = saved;
      return PipeCreate::kFailed;
    }
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    const int saved = errno;
    if (fresh) ::unlink(path.c_str());
    closeQuietly(lock);
    errno = saved;
    return PipeCreate::kFailed;
  }
  if (bufferBytes > 0) {
    // Best effort: the system caps the size an unprivileged process may ask for.
    const int saved = errno;
    ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bufferBytes));
    errno = saved;
  }
  read_ = fd;
  lock_ = lock;
  path_ = path;
  return PipeCreate::kCreated;
}

void NamedPipe::close() {
  if (!path_.empty() && !keep_) {
    // Remove the name while still holding the lock, so no other holder's FIFO is removed.
    const int saved = errno;
    ::unlink(path_.c_str());
    errno = saved;
  }
  path_.clear();
  keep_ = false;
  closeQuietly(read_);
  closeQuietly(lock_);
}

int openNamedPipeWriter(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  // Opened without blocking (no waiting for a reader); writes block like an agent's would.
  if (::fcntl(fd, F_SETFL, 0) != 0) {
    closeQuietly(fd);
    return -1;
  }
  return fd;
}

void closePipeHandle(int handle) { closeQuietly(handle); }

bool writePipe(int handle, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(handle, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform
