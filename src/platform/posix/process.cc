// Process handles: waiting, signalling, releasing. The spawn itself is in process_spawn.cc.
#include "platform/process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/posix/process_internal.h"

namespace platform {

namespace {

// Children whose Process objects let go of them while they ran. Process-wide by nature: the
// children of a process are.
std::mutex gAbandonedLock;
std::vector<int>& abandoned() {
  static std::vector<int> pids;
  return pids;
}

ExitStatus statusFromWait(int st) {
  ExitStatus s;
  s.known = true;
  if (WIFSIGNALED(st)) {
    s.signaled = true;
    s.code = WTERMSIG(st);
  } else {
    s.code = WEXITSTATUS(st);
  }
  return s;
}

}  // namespace

bool anyChildEnded() {
  siginfo_t info{};
  int r;
  do {
    r = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return errno != ECHILD;  // no children at all: none has ended
  return info.si_pid != 0;
}

void reapAbandonedChildren() {
  std::lock_guard<std::mutex> lock(gAbandonedLock);
  auto& pids = abandoned();
  const int saved = errno;
  for (size_t i = 0; i < pids.size();) {
    int st = 0;
    pid_t r;
    do {
      r = ::waitpid(pids[i], &st, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      ++i;
    } else {
      pids[i] = pids.back();  // reaped, or no longer ours to reap
      pids.pop_back();
    }
  }
  errno = saved;
}

Process::~Process() { release(); }

bool Process::spawn(const SpawnOptions& options) {
  release();
  reapAbandonedChildren();
  const int pid = posix::spawnChild(options);
  if (pid <= 0) return false;
  pid_ = pid;
  child_ = true;
  // An unreaped child keeps its id, so this handle cannot name another process; without one
  // (an older kernel, no descriptor left) the child is waited on by id alone. It is opened
  // close-on-exec.
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  return true;
}

bool Process::attach(uint32_t pid) {
  release();
  if (pid == 0 || pid > 0x7fffffffu) {
    errno = ESRCH;
    return false;
  }
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd < 0) {
    if (errno != ENOSYS) return false;
    // Kernels without process handles: the id alone, checked now.
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  }
  pid_ = static_cast<int>(pid);
  pidfd_ = fd;
  child_ = false;
  return true;
}

bool Process::hasEnded() {
  if (pid_ <= 0 || ended_) return true;
  const int saved = errno;
  if (child_) {
    int st = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &st, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      errno = saved;
      return false;
    }
    ended_ = true;
    // r < 0 (ECHILD): someone else reaped it; it is gone, how is unknown.
    if (r == pid_) status_ = statusFromWait(st);
    if (terminated_ && status_.known && status_.signaled && status_.code == SIGKILL) {
      status_.signaled = false;
      status_.code = 1;
    }
  } else if (pidfd_ >= 0) {
    struct pollfd p {};
    p.fd = pidfd_;
    p.events = POLLIN;
    int r;
    do {
      r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    ended_ = r > 0;
  } else {
    ended_ = ::kill(pid_, 0) != 0 && errno == ESRCH;
  }
  if (ended_ && !child_ && terminated_) {
    status_.known = true;
    status_.code = 1;
  }
  errno = saved;
  return ended_;
}

std::string signalName(int signal) {
  static const struct {
    int number;
    const char* name;
  } kNames[] = {{SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},
                {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"},
                {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},   {SIGKILL, "SIGKILL"},
                {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
                {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
                {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"}};
  for (const auto& entry : kNames) {
    if (entry.number == signal) return entry.name;
  }
  return "SIG" + std::to_string(signal);
}

bool Process::sendSignal(int signal) {
  if (pid_ <= 0 || (ended_ && (child_ || pidfd_ < 0))) {
    errno = ESRCH;
    return false;
  }
  if (pidfd_ >= 0) {
    if (::syscall(SYS_pidfd_send_signal, pidfd_, signal, nullptr, 0) == 0) return true;
    if (errno != ENOSYS) return false;
  }
  // An unreaped child keeps its id, so signalling it by id cannot hit another process.
  return ::kill(pid_, signal) == 0;
}

bool Process::terminate() {
  if (!sendSignal(SIGKILL)) return false;
  terminated_ = true;
  return true;
}

bool Process::requestStop() { return sendSignal(SIGTERM); }
bool Process::suspend() { return sendSignal(SIGSTOP); }
bool Process::resume() { return sendSignal(SIGCONT); }

void Process::release() {
  if (pid_ <= 0) return;
  const int saved = errno;
  if (child_ && !hasEnded()) {
    std::lock_guard<std::mutex> lock(gAbandonedLock);
    abandoned().push_back(pid_);
  }
  if (pidfd_ >= 0) ::close(pidfd_);
  closeSampleFiles();
  pid_ = 0;
  pidfd_ = -1;
  child_ = false;
  ended_ = false;
  terminated_ = false;
  status_ = ExitStatus();
  errno = saved;
}

}  // namespace platform
