#include <sys/syscall.h>
#include <unistd.h>

#include "platform/self.h"

namespace platform {

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t currentThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

std::string executablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace platform
