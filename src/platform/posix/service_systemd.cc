// systemd as the service manager: a unit file, systemctl for everything else, and the notify
// protocol (one datagram per notification to $NOTIFY_SOCKET) from inside the service.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/service_manager.h"

extern char** environ;

namespace platform {
namespace {

constexpr size_t kMaxCommandOutput = 64 * 1024;

int runCommand(const std::vector<std::string>& args, std::string& out) {
  out.clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    errno = rc;
    return -1;
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (out.size() < kMaxCommandOutput) out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// A path as systemd reads it on an ExecStart line: quoted when it holds a blank, with
// backslashes, quotes and percent signs escaped.
std::string execQuoted(const std::string& path) {
  std::string out;
  bool quote = false;
  for (char c : path) {
    if (c == ' ' || c == '\t') quote = true;
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return quote ? "\"" + out + "\"" : out;
}

class SystemdServiceManager final : public ServiceManager {
 public:
  SystemdServiceManager(std::string unitDirectory, CommandRunner runner)
      : dir_(std::move(unitDirectory)), run_(std::move(runner)) {}

  bool install(const ServiceDefinition& d, std::string& error) override {
    {
      std::ofstream file(unitPath(d.name), std::ios::trunc);
      file << systemdUnitText(d);
      if (!file.flush()) {
        error = "cannot write " + unitPath(d.name) + ": " + std::strerror(errno);
        return false;
      }
    }
    return systemctl({"daemon-reload"}, error) && systemctl({"enable", unit(d.name)}, error);
  }

  bool remove(const std::string& name, std::string& error) override {
    if (!systemctl({"disable", unit(name)}, error)) return false;
    if (::unlink(unitPath(name).c_str()) != 0 && errno != ENOENT) {
      error = "cannot remove " + unitPath(name) + ": " + std::strerror(errno);
      return false;
    }
    return systemctl({"daemon-reload"}, error);
  }

  bool installedExecutable(const std::string& name, std::string& path,
                           std::string& error) override {
    std::ifstream file(unitPath(name));
    if (!file) {
      error = "cannot read " + unitPath(name) + ": " + std::strerror(errno);
      return false;
    }
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("ExecStart=", 0) != 0) continue;
      std::string value = trimmed(line.substr(10));
      if (value.size() >= 2 && value.front() == '"') {
        std::string unquoted;
        for (size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
          if (value[i] == '\\' && i + 1 < value.size()) ++i;
          unquoted += value[i];
        }
        value = unquoted;
      }
      path = value;
      return true;
    }
    error = unitPath(name) + " has no ExecStart";
    return false;
  }

  bool query(const std::string& name, ServiceState& state, std::string& error) override {
    std::string out;
    const std::vector<std::string> args = {"systemctl", "show", "--property=LoadState,ActiveState",
                                           unit(name)};
    if (run_(args, out) != 0) {
      error = "systemctl show: " + trimmed(out);
      return false;
    }
    std::istringstream lines(out);
    std::string load, active;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("LoadState=", 0) == 0) load = trimmed(line.substr(10));
      if (line.rfind("ActiveState=", 0) == 0) active = trimmed(line.substr(12));
    }
    if (load == "not-found") {
      state = ServiceState::kNotInstalled;
    } else if (active == "active" || active == "reloading") {
      state = ServiceState::kRunning;
    } else if (active == "activating") {
      state = ServiceState::kStartPending;
    } else if (active == "deactivating") {
      state = ServiceState::kStopPending;
    } else {
      state = ServiceState::kStopped;  // inactive, failed
    }
    return true;
  }

  bool requestStart(const std::string& name, std::string& error) override {
    return systemctl({"start", "--no-block", unit(name)}, error);
  }
  bool requestStop(const std::string& name, std::string& error) override {
    return systemctl({"stop", "--no-block", unit(name)}, error);
  }

 private:
  static std::string unit(const std::string& name) { return name + ".service"; }
  std::string unitPath(const std::string& name) const { return dir_ + "/" + unit(name); }

  bool systemctl(std::vector<std::string> args, std::string& error) {
    args.insert(args.begin(), "systemctl");
    std::string out;
    const int code = run_(args, out);
    if (code == 0) return true;
    std::string line;
    for (const std::string& a : args) line += (line.empty() ? "" : " ") + a;
    error =
        line + ": " + (code < 0 ? std::string("cannot run") : "exit code " + std::to_string(code));
    if (!trimmed(out).empty()) error += ": " + trimmed(out);
    return false;
  }

  std::string dir_;
  CommandRunner run_;
};

}  // namespace

CommandRunner realCommandRunner() { return runCommand; }

std::unique_ptr<ServiceManager> makeSystemdServiceManager(const std::string& unitDirectory,
                                                          CommandRunner runner) {
  return std::make_unique<SystemdServiceManager>(unitDirectory, std::move(runner));
}

std::unique_ptr<ServiceManager> systemServiceManager() {
  return makeSystemdServiceManager("/etc/systemd/system", realCommandRunner());
}

std::string systemdUnitText(const ServiceDefinition& d) {
  std::string home = d.directory;
  std::string t;
  t += "[Unit]\n";
  t += "Description=" + d.description + "\n";
  t += "After=network.target\n";
  t += "\n[Service]\n";
  // The manager says when it is ready and when it stops, and pings from its main loop.
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  t += "ExecStart=" + execQuoted(d.executable) + "\n";
  if (!home.empty()) t += "WorkingDirectory=" + execQuoted(home) + "\n";
  // The manager stops its own agents; those it leaves for the next manager must survive.
  t += "KillMode=process\n";
  t += "TimeoutStopSec=" + std::to_string(d.stopLimitSeconds) + "\n";
  t += "WatchdogSec=60\n";
  t += "Restart=on-failure\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

std::string serviceNotifySocket() {
  const char* s = std::getenv("NOTIFY_SOCKET");
  return s ? std::string(s) : std::string();
}

bool serviceNotify(const std::string& assignments) {
  const std::string path = serviceNotifySocket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() < 2 || path.size() >= sizeof address.sun_path) return false;
  if (path[0] != '/' && path[0] != '@') return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  // "@name" is an abstract socket: its address starts with a zero byte.
  if (path[0] == '@') address.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t n = ::sendto(fd, assignments.data(), assignments.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address), length);
  ::close(fd);
  return n == static_cast<ssize_t>(assignments.size());
}

uint64_t serviceWatchdogUsec() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec) return 0;
  if (const char* pid = std::getenv("WATCHDOG_PID")) {
    if (std::strtoull(pid, nullptr, 10) != static_cast<unsigned long long>(::getpid())) return 0;
  }
  return std::strtoull(usec, nullptr, 10);
}

}  // namespace platform
