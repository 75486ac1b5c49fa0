// Starting a child. Everything the child needs is prepared before the fork: between fork and
// exec a multi-threaded parent's child may only make async-signal-safe calls (no allocation).
// The exec failure reaches the parent through a close-on-exec pipe: end of file on it means the
// exec succeeded, four bytes are the child's error code.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/process_internal.h"

extern char** environ;

namespace platform::posix {

namespace {

constexpr char kListenPid[] = "LISTEN_PID=";

// Everything the child uses, built by the parent.
struct Plan {
  std::vector<std::string> candidates;  // program paths to try in order
  std::vector<char*> argv;
  std::vector<std::string> envStore;
  std::vector<char*> envp;
  char* listenPidDigits = nullptr;  // room in envStore for the child's own pid
  const char* directory = nullptr;
  int nullHandle = -1;
  int outputHandle = -1;
  int errorHandle = -1;  // write end of the report pipe
  std::vector<int> sockets;
  std::vector<int> sourceHigh;  // scratch for the child, sized by the parent
  long maxHandle = 1024;
  rlim_t descriptorLimit = 0;  // the soft limit the child gets back; 0: as it is
};

bool hasName(const std::string& entry, const std::string& name) {
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
         entry[name.size()] == '=';
}

void buildEnvironment(const SpawnOptions& o, Plan& p) {
  std::vector<std::string> drop = {"LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"};
  for (const auto& [name, value] : o.environment) drop.push_back(name);
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    bool keep = true;
    for (const std::string& name : drop) keep = keep && !hasName(entry, name);
    if (keep) p.envStore.push_back(entry);
  }
  for (const auto& [name, value] : o.environment) p.envStore.push_back(name + "=" + value);
  const bool announce = !o.inheritedSockets.empty();
  if (announce) {
    p.envStore.push_back("LISTEN_FDS=" + std::to_string(o.inheritedSockets.size()));
    p.envStore.push_back(std::string(kListenPid) + std::string(20, '\0'));  // last entry
  }
  // Pointers are taken only now: the strings no longer move.
  for (std::string& s : p.envStore) p.envp.push_back(s.data());
  p.envp.push_back(nullptr);
  if (announce) p.listenPidDigits = p.envStore.back().data() + sizeof kListenPid - 1;
}

// The places to look for the program, like execvp: a name with '/' is used as it is, a bare
// name is looked up in each PATH directory in turn.
void buildCandidates(const std::string& program, Plan& p) {
  if (program.find('/') != std::string::npos) {
    p.candidates.push_back(program);
    return;
  }
  const char* path = ::getenv("PATH");
  const std::string dirs = path ? path : "/bin:/usr/bin";
  size_t start = 0;
  while (true) {
    const size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    p.candidates.push_back((dir.empty() ? std::string(".") : dir) + "/" + program);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// --- The child side: async-signal-safe calls only. ---

[[noreturn]] void childFail(int fd, int code) {
  ssize_t ignored = ::write(fd, &code, sizeof code);
  (void)ignored;
  ::_exit(127);
}

void closeRange(unsigned from, unsigned to, long maxHandle) {
  if (from > to) return;
  if (::syscall(SYS_close_range, from, to, 0) == 0) return;
  const long last = static_cast<long>(to) < maxHandle ? static_cast<long>(to) : maxHandle;
  for (long fd = from; fd <= last; ++fd) ::close(static_cast<int>(fd));
}

void writeDecimal(char* dst, long value) {
  char tmp[24];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) *dst++ = tmp[--n];
  *dst = '\0';
}

[[noreturn]] void childMain(Plan& p) {
  // Default dispositions and an empty mask: ignored signals would otherwise survive the exec.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  int report = p.errorHandle;
  ::setsid();
  if (p.directory && ::chdir(p.directory) != 0) childFail(report, errno);

  // Lift every source above the target slots 0 .. 2+n, then place them.
  const int n = static_cast<int>(p.sockets.size());
  const int floor = 3 + n;
  report = ::fcntl(p.errorHandle, F_DUPFD_CLOEXEC, floor);
  if (report < 0) childFail(p.errorHandle, errno);
  const int nullHigh = ::fcntl(p.nullHandle, F_DUPFD_CLOEXEC, floor);
  if (nullHigh < 0) childFail(report, errno);
  int outHigh = nullHigh;
  if (p.outputHandle >= 0) {
    outHigh = ::fcntl(p.outputHandle, F_DUPFD_CLOEXEC, floor);
    if (outHigh < 0) childFail(report, errno);
  }
  for (int i = 0; i < n; ++i) {
    p.sourceHigh[i] = ::fcntl(p.sockets[i], F_DUPFD_CLOEXEC, floor);
    if (p.sourceHigh[i] < 0) childFail(report, errno);
  }
  // dup2 leaves the new handles without close-on-exec: these are the ones the child keeps.
  if (::dup2(nullHigh, 0) < 0 || ::dup2(outHigh, 1) < 0 || ::dup2(outHigh, 2) < 0) {
    childFail(report, errno);
  }
  for (int i = 0; i < n; ++i) {
    if (::dup2(p.sourceHigh[i], 3 + i) < 0) childFail(report, errno);
  }
  // Everything else goes, whatever its flags; the report pipe closes itself at the exec.
  closeRange(static_cast<unsigned>(floor), static_cast<unsigned>(report) - 1, p.maxHandle);
  closeRange(static_cast<unsigned>(report) + 1, ~0u, p.maxHandle);

  if (p.listenPidDigits) writeDecimal(p.listenPidDigits, static_cast<long>(::getpid()));

  // The manager runs with its descriptor limit raised; the agent gets the usual one back (it
  // keeps only descriptors 0 .. 2+n, all below it).
  if (p.descriptorLimit != 0) {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && p.descriptorLimit < r.rlim_cur) {
      r.rlim_cur = p.descriptorLimit;
      ::setrlimit(RLIMIT_NOFILE, &r);
    }
  }

  int failure = ENOENT;
  for (std::string& candidate : p.candidates) {
    ::execve(candidate.c_str(), p.argv.data(), p.envp.data());
    const int e = errno;
    // Keep looking past directories that do not have it; remember the more telling refusal.
    if (e == EACCES) {
      failure = e;
    } else if (e != ENOENT && e != ENOTDIR) {
      failure = e;
      break;
    }
  }
  childFail(report, failure);
}

}  // namespace

int spawnChild(const SpawnOptions& options) {
  if (options.args.empty() || options.args[0].empty()) {
    errno = ENOENT;
    return -1;
  }
  Plan p;
  std::vector<std::string> args = options.args;
  for (std::string& a : args) p.argv.push_back(a.data());
  p.argv.push_back(nullptr);
  buildEnvironment(options, p);
  buildCandidates(options.args[0], p);
  if (!options.directory.empty()) p.directory = options.directory.c_str();
  p.outputHandle = options.outputHandle;
  p.sockets = options.inheritedSockets;
  p.sourceHigh.resize(p.sockets.size());
  const long maxHandle = ::sysconf(_SC_OPEN_MAX);
  if (maxHandle > 0) p.maxHandle = maxHandle;
  p.descriptorLimit = static_cast<rlim_t>(inheritedDescriptorLimit());

  p.nullHandle = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (p.nullHandle < 0) return -1;
  int reportPipe[2];
  if (::pipe2(reportPipe, O_CLOEXEC) != 0) {
    const int e = errno;
    ::close(p.nullHandle);
    errno = e;
    return -1;
  }
  p.errorHandle = reportPipe[1];

  // No signal handler may run in the child before it has reset the dispositions.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) childMain(p);
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::close(reportPipe[1]);
  ::close(p.nullHandle);
  if (pid < 0) {
    ::close(reportPipe[0]);
    errno = forkError;
    return -1;
  }

  int childError = 0;
  size_t got = 0;
  while (got < sizeof childError) {
    const ssize_t r =
        ::read(reportPipe[0], reinterpret_cast<char*>(&childError) + got, sizeof childError - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(reportPipe[0]);
  if (got == 0) return pid;  // the exec closed the pipe: the program runs

  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  errno = got == sizeof childError && childError != 0 ? childError : ECHILD;
  return -1;
}

}  // namespace platform::posix
