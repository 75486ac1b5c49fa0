#include "child.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

Child::Child(const std::vector<std::string>& argv, const std::string& cwd,
             const std::vector<std::string>& extraEnv) {
  int inPipe[2], outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 2);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  // An entry of extraEnv replaces the inherited one of the same name (the first one wins).
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& mine : extraEnv) {
      const size_t eq = mine.find('=');
      replaced = replaced || entry.compare(0, eq + 1, mine, 0, eq + 1) == 0;
    }
    if (!replaced) envStrings.push_back(entry);
  }
  for (const auto& e : extraEnv) envStrings.push_back(e);
  std::vector<char*> env;
  for (auto& e : envStrings) env.push_back(e.data());
  env.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  fcntl(out_, F_SETFL, O_NONBLOCK);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("spawn " + argv[0] + ": " + strerror(rc));
  }
}

Child::~Child() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

void Child::write(const std::string& text) {
  if (in_ < 0) return;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(in_, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

void Child::closeStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::drain() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) break;
    output_.append(buf, static_cast<size_t>(n));
  }
}

const std::string& Child::output() {
  drain();
  return output_;
}

bool Child::waitForOutput(const std::string& needle, std::chrono::milliseconds limit) {
  return waitUntil([&] { return output().find(needle) != std::string::npos; }, limit);
}

bool Child::waitExit(std::chrono::milliseconds limit) {
  const bool done = waitUntil(
      [&] {
        if (exited_) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
          exited_ = true;
          exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exited_;
      },
      limit);
  drain();
  return done;
}

void Child::kill(int signal) {
  if (pid_ > 0 && !exited_) ::kill(pid_, signal);
}

RunResult run(const std::vector<std::string>& argv, const std::string& cwd,
              std::chrono::milliseconds limit) {
  Child child(argv, cwd);
  child.closeStdin();
  RunResult result;
  if (child.waitExit(limit)) result.exitCode = child.exitCode();
  result.output = child.output();
  return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/am-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {
int boundPort(int type) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

bool udpFree(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}
}  // namespace

int freeTcpPort() { return boundPort(SOCK_STREAM); }

int freePort() {
  for (int i = 0; i < 50; ++i) {
    const int p = boundPort(SOCK_STREAM);
    if (p > 0 && udpFree(p)) return p;
  }
  throw std::runtime_error("no free port");
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace testsupport
