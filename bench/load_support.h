// The load driver's pieces: the client exchange on fresh loopback connections, the rate and
// latency loops built on it, the trivial server that measures what the machine can do, idle
// and trickling connections, and the real am started in a temporary home. Everything runs on
// 127.0.0.1 and every wait is bounded.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace amload {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Set by SIGINT/SIGTERM: every loop ends at its next step.
extern std::atomic<bool> gStop;
// The am being measured, killed by the signal handlers; 0 when none runs.
extern std::atomic<pid_t> gAmPid;

// Kills the running am on SIGINT, SIGTERM, SIGHUP and SIGALRM, then ends the driver with that
// signal; SIGPIPE is ignored. `hardCapSeconds` arms SIGALRM, so the driver always ends.
void installSignalHandlers(unsigned hardCapSeconds);
// User plus system processor time of a process so far, in milliseconds; 0 when it cannot be
// read.
uint64_t processCpuMs(pid_t pid);
// Raises the soft descriptor limit to the hard one; returns the new soft limit.
uint64_t raiseDescriptorLimit();

// The bytes of one agents-list conversation.
struct Wire {
  std::string greeting;  // what the manager sends first: signature, 7 = version, 78 = revision
  std::string request;   // signature, 7 = version, 32 = the agents list (empty value)
};
const Wire& wire();

enum class Outcome { kOk, kTimedOut, kRefused, kClosedEarly, kBadGreeting, kError };
const char* outcomeName(Outcome o);

struct Exchange {
  Outcome outcome = Outcome::kError;
  size_t replyBytes = 0;  // after the greeting, up to the close
  double ms = 0;          // from connect to the close
};

// A fresh connection: connect, read the greeting, send the request, read up to the close,
// close. Everything within `timeout`.
Exchange exchange(uint16_t port, Ms timeout);

struct Counts {
  uint64_t ok = 0;
  uint64_t timedOut = 0;
  uint64_t failed = 0;  // refused, closed early, bad greeting, other errors
  uint64_t total() const { return ok + timedOut + failed; }
  void add(Outcome o);
  std::string text() const;  // "123 ok, 0 timed out, 0 failed"
};

struct Rate {
  Counts counts;
  double seconds = 0;
  double perSecond = 0;   // completed exchanges per second
  size_t replyBytes = 0;  // of the last good reply
};

// `threads` threads doing exchanges back to back until `maxRequests` in all or `duration`.
Rate measureRate(uint16_t port, int threads, uint64_t maxRequests, Ms duration, Ms timeout);

struct Latency {
  Counts counts;
  // Percentiles over all attempts; a failed attempt counts as slower than every success.
  double p50 = 0, p99 = 0;
  bool p50Failed = false, p99Failed = false;
};

// Single exchanges one after the other: `samples` of them or until `cap` has passed.
Latency measureLatency(uint16_t port, int samples, Ms cap, Ms timeout);

// One thread serving 127.0.0.1 with epoll: accepts, sends the manager's greeting, reads the
// request, writes `replySize` bytes and closes. The agents-list conversation with nothing
// behind it: what this machine can do at most.
class TrivialServer {
 public:
  explicit TrivialServer(size_t replySize);
  ~TrivialServer();
  TrivialServer(const TrivialServer&) = delete;
  TrivialServer& operator=(const TrivialServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  void serve();
  int listener_ = -1;
  uint16_t port_ = 0;
  size_t replySize_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Connections that are opened and then left alone (greeting unread, nothing sent).
class Connections {
 public:
  Connections() = default;
  ~Connections() { closeAll(); }
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  // Opens up to `count` connections within `cap`, a batch at a time; returns how many opened.
  size_t open(uint16_t port, size_t count, Ms cap);
  // Sends `bytes` on every open connection; a failed send closes that connection.
  void sendAll(const std::string& bytes);
  // Connections the peer has closed (their greetings and anything else read and dropped).
  size_t closedByPeer();
  size_t size() const { return fds_.size(); }
  std::vector<int>& fds() { return fds_; }
  void closeAll();

 private:
  std::vector<int> fds_;
};

// What the trickle did.
struct Trickle {
  size_t connections = 0;
  uint64_t bytesSent = 0;
  int rounds = 0;
  double seconds = 0;
};

// One byte per send per connection (TCP_NODELAY), round after round with `pause` between
// rounds, until `rounds` or `cap`.
Trickle trickle(Connections& c, int rounds, Ms pause, Ms cap);

// What the manager's home holds besides the executable.
struct ManagerSetup {
  int agents = 0;
  // With the path of build/demo-agent the agents are real demo agents started at once by an
  // all-day schedule, sending telemetry every `telemetryMs`; each carries the home path as an
  // extra word, so that agentProcesses() finds them. Without it they are configured agents
  // that nothing starts.
  std::string demoAgent;
  uint32_t telemetryMs = 1000;
  std::string commonLines;  // more lines of [common], each ending in "\n"
  std::string sections;     // more sections after the agents ([user] ...)
  std::vector<std::pair<std::string, std::string>> files;  // name in the home, content
};

// The real am: a temporary home with a copy of the executable and an am.ini with free ports
// and the agents of its setup, run as `am --console`. The destructor stops it ("q", then
// SIGKILL after a bounded wait) and removes the home.
class Manager {
 public:
  Manager(const std::string& amPath, const ManagerSetup& setup);
  Manager(const std::string& amPath, int agents) : Manager(amPath, agents, std::string()) {}
  Manager(const std::string& amPath, int agents, const std::string& demoAgent,
          uint32_t telemetryMs = 1000)
      : Manager(amPath, setupOf(agents, demoAgent, telemetryMs)) {}
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  static ManagerSetup setupOf(int agents, const std::string& demoAgent, uint32_t telemetryMs) {
    ManagerSetup s;
    s.agents = agents;
    s.demoAgent = demoAgent;
    s.telemetryMs = telemetryMs;
    return s;
  }

  // Waits at most `cap` for `count` agent processes; how many ran at the end.
  int waitForAgents(int count, Ms cap) const;
  // True once an agents list came back within `cap`.
  bool waitReady(Ms cap);
  // VmRSS from /proc/<pid>/status in KiB; 0 when it cannot be read.
  uint64_t rssKiB() const;
  // The part of the resident memory that is pages of mapped files (the program's and its
  // libraries' code and read-only data), shared with every process that maps them.
  uint64_t rssFileKiB() const;
  uint16_t clientPort() const { return clientPort_; }
  // Stops am: "q" on its console, waits up to `cap`, then kills it. True when it ended by itself.
  bool stop(Ms cap);
  // The last bytes am printed (for failure reports).
  std::string outputTail(size_t bytes) const;
  // User plus system processor time of am so far, in milliseconds; 0 when it cannot be read.
  uint64_t cpuMs() const;
  // Demo agents of this home still running (by the home path on their command line).
  int agentProcesses() const { return static_cast<int>(agentPids().size()); }
  std::vector<pid_t> agentPids() const;
  // Open descriptors of am; -1 when they cannot be counted.
  int descriptors() const;
  pid_t pid() const { return pid_; }
  const std::string& home() const { return home_; }

 private:
  std::string home_;
  uint16_t clientPort_ = 0;
  pid_t pid_ = -1;
  int stdin_ = -1;
};

}  // namespace amload
