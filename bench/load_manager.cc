// The real am for the load driver: a temporary home, its settings and its process.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "adt/text.h"
#include "load_support.h"

namespace amload {
namespace {

int freePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool bound = ::bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       ::getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(tcp);
    if (!bound) continue;
    // The agent link is UDP on the same number: it must be free there too.
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool udpFree = ::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(udp);
    if (udpFree) return ntohs(a.sin_port);
  }
  throw std::runtime_error("no free port on 127.0.0.1");
}

}  // namespace

Manager::Manager(const std::string& amPath, const ManagerSetup& setup) {
  const int agents = setup.agents;
  const std::string& demoAgent = setup.demoAgent;
  char dir[] = "/tmp/am-load-XXXXXX";
  if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  home_ = dir;
  namespace fs = std::filesystem;
  fs::copy_file(amPath, home_ + "/am");
  clientPort_ = static_cast<uint16_t>(freePort());
  std::ostringstream ini;
  ini << "[common]\nclient_port=" << clientPort_ << "\nagent_port=" << freePort() << "\n"
      << setup.commonLines;
  for (int i = 0; i < agents; ++i) {
    if (demoAgent.empty()) {
      // Configured, never started: no schedule, no run_at_least_once, and the list starts
      // nothing.
      ini << "\n[agent]\nid=load" << i << "\nname=Load agent " << i
          << "\ndescription=Configured for the load driver, never started\ncmd=/bin/sleep 600\n";
    } else {
      // Started at once and kept running by an all-day schedule.
      ini << "\n[agent]\nid=demo" << i << "\nname=Demo agent " << i
          << "\ndescription=A demo agent of the scale bench\nsched=0h-*/24h\ncmd=" << demoAgent
          << " --demo-telemetry-ms " << setup.telemetryMs << " --bench-home " << home_ << "\n";
    }
  }
  ini << setup.sections;
  std::ofstream(home_ + "/am.ini", std::ios::binary) << adt::toCp1251(ini.str());
  for (const auto& [name, content] : setup.files) {
    std::ofstream(home_ + "/" + name, std::ios::binary) << content;
  }

  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const std::string exe = home_ + "/am";
  const std::string log = home_ + "/console.out";
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || ::chdir(home_.c_str()) != 0) ::_exit(127);
    ::dup2(in[0], 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::close_range(3, ~0u, 0);
    char* const argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>("--console"), nullptr};
    ::execv(exe.c_str(), argv);
    ::_exit(127);
  }
  ::close(in[0]);
  if (pid_ < 0) {
    ::close(in[1]);
    throw std::runtime_error("fork failed");
  }
  stdin_ = in[1];
  gAmPid = pid_;
}

Manager::~Manager() {
  stop(Ms(60000));
  std::error_code ec;
  std::filesystem::remove_all(home_, ec);
}

bool Manager::waitReady(Ms cap) {
  const auto end = Clock::now() + cap;
  while (!gStop && Clock::now() < end) {
    if (exchange(clientPort_, Ms(2000)).outcome == Outcome::kOk) return true;
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      gAmPid = 0;
      return false;
    }
    std::this_thread::sleep_for(Ms(50));
  }
  return false;
}

namespace {

// A "<field>: <n> kB" line of /proc/<pid>/status; 0 when it is missing.
uint64_t statusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size()));
  }
  return 0;
}

}  // namespace

uint64_t Manager::rssKiB() const { return statusKiB(pid_, "VmRSS:"); }

uint64_t Manager::rssFileKiB() const { return statusKiB(pid_, "RssFile:"); }

bool Manager::stop(Ms cap) {
  if (pid_ <= 0) return true;
  if (stdin_ >= 0) {
    const char quit[] = "q\n";
    [[maybe_unused]] const ssize_t n = ::write(stdin_, quit, sizeof quit - 1);
    ::close(stdin_);
    stdin_ = -1;
  }
  bool ended = false;
  for (const auto end = Clock::now() + cap; Clock::now() < end;) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(Ms(20));
  }
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  gAmPid = 0;
  return ended;
}

uint64_t Manager::cpuMs() const { return processCpuMs(pid_); }

uint64_t processCpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(all.substr(close + 2));
  std::string f;
  uint64_t ticks = 0;
  // Fields 3.. follow the command name; utime and stime are fields 14 and 15.
  for (int n = 3; n <= 15 && fields >> f; ++n) {
    if (n == 14 || n == 15) ticks += std::stoull(f);
  }
  const long tick = ::sysconf(_SC_CLK_TCK);
  return tick > 0 ? ticks * 1000 / static_cast<uint64_t>(tick) : 0;
}

int Manager::waitForAgents(int count, Ms cap) const {
  const auto end = Clock::now() + cap;
  int n = agentProcesses();
  while (!gStop && n < count && Clock::now() < end) {
    std::this_thread::sleep_for(Ms(250));
    n = agentProcesses();
  }
  return n;
}

int Manager::descriptors() const {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

std::vector<pid_t> Manager::agentPids() const {
  std::vector<pid_t> pids;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char& c : cmd) {
      if (c == '\0') c = ' ';
    }
    if ((cmd + " ").find("--bench-home " + home_ + " ") != std::string::npos) {
      pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return pids;
}

std::string Manager::outputTail(size_t bytes) const {
  std::ifstream in(home_ + "/console.out", std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  const std::string s = all.str();
  return s.size() > bytes ? s.substr(s.size() - bytes) : s;
}

}  // namespace amload
