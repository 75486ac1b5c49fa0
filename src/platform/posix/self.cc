#include "platform/self.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix/process_internal.h"

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

DescriptorLimit descriptorLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return {};
  return DescriptorLimit{static_cast<uint64_t>(r.rlim_cur), static_cast<uint64_t>(r.rlim_max)};
}

namespace {
std::atomic<unsigned long> g_startSoftLimit{0};
}  // namespace

unsigned long posix::inheritedDescriptorLimit() { return g_startSoftLimit.load(); }

DescriptorLimit raiseDescriptorLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    rlimit raised = r;
    raised.rlim_cur = r.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      unsigned long unset = 0;
      g_startSoftLimit.compare_exchange_strong(unset, static_cast<unsigned long>(r.rlim_cur));
    }
  }
  return descriptorLimit();
}

std::string machineName() {
  char buf[1025] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
  return std::string(buf);
}

}  // namespace platform
