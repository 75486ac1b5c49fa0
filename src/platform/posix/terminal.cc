#include "platform/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

bool readSecretLine(const std::string& prompt, std::string& out) {
  out.clear();
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct termios saved;
  const bool haveTerm = ::tcgetattr(fd, &saved) == 0;
  if (haveTerm) {
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  if (!prompt.empty()) {
    ssize_t ignored = ::write(fd, prompt.data(), prompt.size());
    (void)ignored;
  }
  bool ok = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') {
      ok = true;
      break;
    }
    if (c != '\r') out.push_back(c);
  }
  const int saveErrno = errno;
  if (haveTerm) ::tcsetattr(fd, TCSAFLUSH, &saved);
  ::close(fd);
  errno = saveErrno;
  return ok;
}

}  // namespace platform
