#include "platform/agent_env.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace platform {
namespace {

// The self-pipe: the signal handler writes one byte, the poll loop sees it readable.
int g_wakeRead = -1;
int g_wakeWrite = -1;
std::atomic<int> g_signals{0};

void onTerminationSignal(int) {
  const int saved = errno;
  g_signals.fetch_add(1, std::memory_order_relaxed);
  const char byte = 1;
  // A full pipe already says "wake up".
  [[maybe_unused]] ssize_t n = ::write(g_wakeWrite, &byte, 1);
  errno = saved;
}

}  // namespace

FileHandle openPipeWriterNoWait(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int64_t writePipeNoWait(FileHandle h, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(h, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return static_cast<int64_t>(done);
}

FileHandle standardOutput() { return STDOUT_FILENO; }

std::vector<int> openDescriptors() {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return fds;
  const int own = ::dirfd(dir);
  while (const dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = ::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == own) continue;
    fds.push_back(static_cast<int>(fd));
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

bool isListeningSocket(SocketHandle h) {
  int type = 0;
  int listening = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(h, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
  len = sizeof listening;
  return ::getsockopt(h, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening != 0;
}

bool setNotInherited(int handle) {
  const int flags = ::fcntl(handle, F_GETFD);
  return flags >= 0 && ::fcntl(handle, F_SETFD, flags | FD_CLOEXEC) == 0;
}

SocketHandle socketFromRecord(const uint8_t* record, const std::vector<int>& inherited,
                              std::string& why) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(record[i]) << (8 * i);
  const auto fd = static_cast<int32_t>(n);
  // Only a descriptor inherited at the start can be the manager's socket; anything else would
  // be one of our own.
  const bool wasInherited = std::find(inherited.begin(), inherited.end(), fd) != inherited.end();
  if (!wasInherited || fd <= 2 || !isListeningSocket(fd)) {
    why = "descriptor " + std::to_string(fd) + " is no inherited listening socket";
    return kNoSocket;
  }
  setNotInherited(fd);
  return fd;
}

bool catchTerminationSignals() {
  if (g_wakeRead < 0) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_wakeRead = fds[0];
    g_wakeWrite = fds[1];
  }
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  ::sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  return true;
}

SocketHandle terminationWakeHandle() { return g_wakeRead; }

int takeTerminationSignals() {
  if (g_wakeRead >= 0) {
    char scratch[64];
    while (::read(g_wakeRead, scratch, sizeof scratch) > 0) {
    }
  }
  return g_signals.exchange(0, std::memory_order_relaxed);
}

}  // namespace platform
