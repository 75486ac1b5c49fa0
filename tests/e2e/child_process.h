// Test helper: starts a program with posix_spawn and owns it. Standard input is /dev/null,
// standard output and error go to a pipe the test reads, every other descriptor is closed in
// the child except the ones the test maps in on purpose. The destructor kills the process
// (SIGKILL) and reaps it, so a failing test leaves nothing running.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace testing_support {

class ChildProcess {
 public:
  struct Setup {
    std::vector<std::string> argv;
    // "NAME=value" entries added to (or replacing in) the test's own environment.
    std::vector<std::string> env;
    // (descriptor in the test, number it gets in the child); targets from 3 upward, without gaps.
    std::vector<std::pair<int, int>> inherit;
  };

  explicit ChildProcess(const Setup& setup) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    outRead_ = fds[0];
    const int outWrite = fds[1];
    ::fcntl(outRead_, F_SETFL, O_NONBLOCK);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outWrite, 1);
    posix_spawn_file_actions_adddup2(&fa, outWrite, 2);
    int next = 3;
    for (const auto& [from, to] : setup.inherit) {
      posix_spawn_file_actions_adddup2(&fa, from, to);
      next = std::max(next, to + 1);
    }
    posix_spawn_file_actions_addclosefrom_np(&fa, next);

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const std::string& mine : setup.env) {
        if (entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0) replaced = true;
      }
      if (!replaced) envStore.push_back(entry);
    }
    envStore.insert(envStore.end(), setup.env.begin(), setup.env.end());
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = setup.argv;
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(outWrite);
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
    }
  }

  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (outRead_ >= 0) ::close(outRead_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The exit code (128 + signal number after a signal) once the process has ended within
  // timeoutMs; nothing when it still runs.
  std::optional<int> waitExit(int timeoutMs) {
    if (exited_) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      readOutput(0);
      const timespec pause{0, 10 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
  }

  void signal(int sig) { ::kill(pid_, sig); }

  // Reads output until `needle` appears or timeoutMs pass; true when it appeared.
  bool waitOutput(const std::string& needle, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output_.find(needle) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || outputEnded_) return false;
      readOutput(static_cast<int>(std::min<long long>(left.count(), 100)));
    }
    return true;
  }

  // Everything read from the output so far (after a last look at what is waiting).
  const std::string& output() {
    readOutput(0);
    return output_;
  }

 private:
  void readOutput(int waitMs) {
    pollfd p{outRead_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(outRead_, buf, sizeof buf)) > 0) output_.append(buf, static_cast<size_t>(n));
    if (n == 0) outputEnded_ = true;  // every writer has closed it: the child has gone
  }

  pid_t pid_ = -1;
  int outRead_ = -1;
  bool exited_ = false;
  int exitCode_ = 0;
  std::string output_;
  bool outputEnded_ = false;
};

}  // namespace testing_support
