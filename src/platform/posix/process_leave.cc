// The leave marker as an abstract local socket: it needs no file, leaves nothing behind when
// its holder dies, and its existence can be tested by connecting.
#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/process.h"

namespace platform {

namespace {

// Fills `addr` with the abstract name (leading NUL, no terminator); returns the address length.
socklen_t markerAddress(uint64_t key, sockaddr_un& addr) {
  const std::string name = "vantor/am/" + std::to_string(key) + "/leave";
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // far below sizeof sun_path
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

}  // namespace

LeaveMarker::~LeaveMarker() { close(); }

bool LeaveMarker::create(uint64_t key) {
  close();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  const socklen_t len = markerAddress(key, addr);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || ::listen(fd, 16) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return false;
  }
  handle_ = fd;
  return true;
}

void LeaveMarker::close() {
  if (handle_ >= 0) {
    const int e = errno;
    ::close(handle_);
    errno = e;
    handle_ = -1;
  }
}

std::unique_ptr<LeaveMarker> createLeaveMarker(uint64_t key) {
  auto marker = std::make_unique<LeaveMarker>();
  if (!marker->create(key)) return nullptr;
  return marker;
}

bool leaveMarkerExists(uint64_t key) {
  // Non-blocking: the holder never accepts, and a full queue must not make the check wait.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  const socklen_t len = markerAddress(key, addr);
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  } while (r != 0 && errno == EINTR);
  // EAGAIN: a listener is there but its queue is full.
  const bool exists = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
  const int e = errno;
  ::close(fd);
  errno = e;
  return exists;
}

}  // namespace platform
