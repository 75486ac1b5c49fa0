#include "platform/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

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

namespace platform {

int runEditor(const std::string& path) {
  const char* editor = std::getenv("VISUAL");
  if (!editor || !*editor) editor = std::getenv("EDITOR");
  if (!editor || !*editor) editor = "vi";
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // Through the shell, so that an editor setting with options ("code --wait") works.
    ::execl("/bin/sh", "sh", "-c", "exec $0 \"$1\"", editor, path.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool readInputLine(std::string& out) {
  out.clear();
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(0, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !out.empty();
    if (c == '\n') break;
    out += c;
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

}  // namespace platform
