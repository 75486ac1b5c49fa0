// Test doubles for the agent supervisor: a clock the test moves, a fake process backend, a fake
// update store, fake HTTP listeners and a fake server that records what the agent asks of it.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "adt/log.h"
#include "adt/text.h"
#include "agents/agent.h"
#include "agents/agent_host.h"
#include "child.h"
#include "platform/clock.h"

namespace agents::testing {

// Monotonic milliseconds and local time that move only when the test says so.
class FakeClock final : public platform::Clock {
 public:
  FakeClock() {
    platform::LocalTime t;
    t.year = 2024, t.month = 1, t.day = 15, t.hour = 10, t.minute = 30, t.weekday = 1;
    days_ = platform::toFractionalDays(t);
  }
  uint64_t nowMs() override { return ms_; }
  platform::LocalTime localNow() override { return platform::fromFractionalDays(days_); }
  void advance(uint64_t ms) {
    ms_ += ms;
    days_ += static_cast<double>(ms) / 86400000.0;
  }
  void setMs(uint64_t ms) { ms_ = ms; }
  void setLocal(int hour, int minute, int second) {
    platform::LocalTime t = localNow();
    t.hour = hour, t.minute = minute, t.second = second, t.millisecond = 0;
    days_ = platform::toFractionalDays(t);
  }

 private:
  uint64_t ms_ = 1000000;  // past the uptime that run_at_least_once waits for
  double days_ = 0;
};

// Collects every logged line while it exists.
class LogCapture {
 public:
  struct Line {
    int level;
    std::string text;
  };
  LogCapture() {
    std::lock_guard<std::mutex> lock(mutex());
    lines().clear();
    adt::setLogSink(&sink);
  }
  ~LogCapture() { adt::setLogSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> all() const {
    std::lock_guard<std::mutex> lock(mutex());
    return lines();
  }
  // Lines (texts only) from index `from` on.
  std::vector<std::string> texts(size_t from = 0) const {
    std::vector<std::string> out;
    const std::vector<Line> copy = all();
    for (size_t i = from; i < copy.size(); ++i) out.push_back(copy[i].text);
    return out;
  }
  size_t size() const { return all().size(); }
  bool has(int level, const std::string& text) const {
    for (const Line& l : all()) {
      if (l.level == level && l.text == text) return true;
    }
    return false;
  }
  bool hasPrefix(int level, const std::string& prefix) const {
    for (const Line& l : all()) {
      if (l.level == level && l.text.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  }
  size_t count(const std::string& text) const {
    size_t n = 0;
    for (const Line& l : all()) n += l.text == text;
    return n;
  }

 private:
  static void sink(int level, const char* text) {
    std::lock_guard<std::mutex> lock(mutex());
    lines().push_back({level, text});
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<Line>& lines() {
    static std::vector<Line> l;
    return l;
  }
};

// What a fake process is doing; the test reads and changes it.
struct FakeProcessState {
  uint32_t pid = 0;
  bool ended = false;
  bool terminated = false;
  bool suspended = false;
  platform::ExitStatus status;
  std::string output;  // Windows-1251, as the agent would write it; taken by reads
  int reads = 0;       // how often the manager read the output
  bool attached = false;
  // The pass's look at the handles tells the truth (as the real backend's does): it shows an
  // end or output only when there is one. Otherwise (the default) it always says "maybe".
  bool looked = false;
  void exit(int code) {
    ended = true;
    status = platform::ExitStatus{true, false, code};
  }
};

// A process backend that starts nothing: it records what it was asked and hands out fake
// processes whose fate the test decides.
class FakeProcessBackend final : public AgentProcessBackend {
 public:
  struct Pipe final : AgentPipe {
    bool named = false;
    std::string name;
  };

  std::vector<AgentSpawn> spawns;
  std::vector<bool> spawnedWithNamedPipe;
  std::vector<std::string> pipeRequests;
  std::set<std::string> busyNames;
  int anonymousPipeError = 0;  // non-zero: the pipe cannot be made
  int namedPipeError = 0;      // non-zero: the named pipe fails (not busy)
  int spawnError = 0;          // non-zero: the start fails
  int attachError = 0;
  uint32_t nextPid = 4000;
  std::vector<std::shared_ptr<FakeProcessState>> processes;

  FakeProcessState& last() { return *processes.back(); }
  // The command line of the latest start, back in UTF-8.
  std::string lastCommand() const { return adt::fromCp1251(spawns.back().commandLine); }

  std::unique_ptr<AgentPipe> createAnonymousPipe(int& error) override {
    if (anonymousPipeError) {
      error = anonymousPipeError;
      return nullptr;
    }
    return std::make_unique<Pipe>();
  }
  platform::PipeCreate createNamedPipe(const std::string& name, std::unique_ptr<AgentPipe>& out,
                                       int& error) override {
    pipeRequests.push_back(name);
    if (busyNames.count(name)) {
      error = 16;
      return platform::PipeCreate::kBusy;
    }
    if (namedPipeError) {
      error = namedPipeError;
      return platform::PipeCreate::kFailed;
    }
    auto pipe = std::make_unique<Pipe>();
    pipe->named = true;
    pipe->name = name;
    out = std::move(pipe);
    return platform::PipeCreate::kCreated;
  }
  std::unique_ptr<AgentProcessHandle> spawn(const AgentSpawn& what, std::unique_ptr<AgentPipe> pipe,
                                            int& error) override {
    spawns.push_back(what);
    spawnedWithNamedPipe.push_back(pipe && static_cast<Pipe&>(*pipe).named);
    if (spawnError) {
      error = spawnError;
      return nullptr;
    }
    return make(nextPid++, false);
  }
  std::unique_ptr<AgentProcessHandle> attach(uint32_t pid, int& error) override {
    if (attachError) {
      error = attachError;
      return nullptr;
    }
    return make(pid, true);
  }

 private:
  class Handle final : public AgentProcessHandle {
   public:
    explicit Handle(std::shared_ptr<FakeProcessState> state) : state_(std::move(state)) {}
    uint32_t pid() const override { return state_->pid; }
    bool hasEnded() override { return state_->ended; }
    platform::ExitStatus exitStatus() const override { return state_->status; }
    bool terminate(int&) override {
      state_->terminated = true;
      state_->exit(1);
      return true;
    }
    bool suspend(int&) override {
      state_->suspended = true;
      return true;
    }
    bool mayHaveEnded() override { return !state_->looked || state_->ended; }
    bool outputMayBeWaiting() override { return !state_->looked || !state_->output.empty(); }
    void readOutput(std::string& out, size_t limit) override {
      const size_t n = std::min(limit, state_->output.size());
      out += state_->output.substr(0, n);
      state_->output.erase(0, n);
      ++state_->reads;
    }

   private:
    std::shared_ptr<FakeProcessState> state_;
  };

  std::unique_ptr<AgentProcessHandle> make(uint32_t pid, bool attached) {
    auto state = std::make_shared<FakeProcessState>();
    state->pid = pid;
    state->attached = attached;
    processes.push_back(state);
    return std::make_unique<Handle>(state);
  }
};

class FakeVersion final : public AgentVersion {
 public:
  FakeVersion(uint32_t number, std::string directory, DeployState state)
      : number_(number), directory_(std::move(directory)), state_(state) {}
  uint32_t number() const override { return number_; }
  std::string directory() const override { return directory_; }
  DeployState state() const override { return state_; }
  void setState(DeployState s) { state_ = s; }

 private:
  uint32_t number_;
  std::string directory_;
  DeployState state_;
};

// Distributions listed by the test; deploying makes a real directory under `root`.
class FakeVersionStore final : public AgentVersionStore {
 public:
  explicit FakeVersionStore(std::string root) : root_(std::move(root)) {}

  uint32_t gen = 1;
  std::vector<Entry> entries;
  std::map<uint32_t, std::shared_ptr<FakeVersion>> deployed;
  std::vector<uint32_t> deployCalls;
  DeployState deployState = DeployState::kReady;

  uint32_t generation() const override { return gen; }
  std::vector<Entry> agentDistributions() const override { return entries; }
  AgentVersionRef findDeployed(uint32_t version) override {
    const auto it = deployed.find(version);
    return it == deployed.end() ? nullptr : it->second;
  }
  AgentVersionRef deploy(uint32_t version) override {
    deployCalls.push_back(version);
    const std::string dir = root_ + "/" + adt::versionText(version);
    std::filesystem::create_directories(dir);
    auto handle = std::make_shared<FakeVersion>(version, dir, deployState);
    deployed[version] = handle;
    return handle;
  }

 private:
  std::string root_;
};

// A listener that only records what is done to it.
class FakeHttpSlot final : public AgentHttpSlot {
 public:
  FakeHttpSlot(uint16_t port, int socket) : port_(port), socket_(socket) {}
  uint16_t port() const override { return port_; }
  int socketHandle() const override { return socket_; }
  void answerAll(const adt::String& text) override { answers.push_back(text); }
  bool setAside() const override { return aside; }
  void resume() override {
    aside = false;
    ++resumed;
  }
  void close() override { closed = true; }

  bool aside = false;
  bool closed = false;
  int resumed = 0;
  std::vector<std::string> answers;

 private:
  uint16_t port_;
  int socket_;
};

// The server as the agent sees it, recording notifications, requests and deletions.
class FakeHost final : public AgentHost {
 public:
  struct Message {
    std::string subject, text;
  };
  struct Error {
    std::string text, details;
  };
  struct Request {
    uint16_t port;
    uint32_t code, arg;
    std::string payload;
  };

  explicit FakeHost(const std::string& homeDir, AgentProcessBackend* realBackend = nullptr)
      : home(homeDir),
        runDir(homeDir + "/run"),
        agentUpdates(homeDir + "/updates/agents"),
        backendInUse(realBackend ? realBackend : &backend) {}

  FakeClock fakeClock;
  std::string home, runDir, agentUpdates;
  uint64_t key = 1234567890123ull;
  adt::String id, fqdnText;
  uint16_t port = 5002;
  bool leaveHanged = false;
  int64_t longOperationMs = 2400000;
  int32_t gcPercent = 50;
  bool stoppingFlag = false;
  uint64_t configTick = 0;
  uint16_t clientPortToGive = 0;
  std::vector<Message> messages;
  std::vector<Error> errors;
  std::vector<Request> requests;
  FakeVersionStore* store = nullptr;
  FakeProcessBackend backend;
  AgentProcessBackend* backendInUse;
  std::vector<Agent*> deletions;
  std::vector<std::unique_ptr<FakeHttpSlot>> slots;  // stands for the dispatcher
  // When set, opens the real listeners instead of recording fake ones.
  std::function<AgentHttpSlot*(Agent&, uint16_t, bool)> openHttp;
  int nextSocket = 100;

  platform::Clock& clock() override { return fakeClock; }
  const std::string& homePath() const override { return home; }
  const std::string& runPath() const override { return runDir; }
  const std::string& agentUpdatesPath() const override { return agentUpdates; }
  uint64_t installationKey() const override { return key; }
  const adt::String& serverId() const override { return id; }
  const adt::String& fqdn() const override { return fqdnText; }
  uint16_t agentPort() const override { return port; }
  bool leaveHangedAgents() const override { return leaveHanged; }
  int64_t longOperationTimeoutMs() const override { return longOperationMs; }
  int32_t warnGcPercent() const override { return gcPercent; }
  bool stopping() const override { return stoppingFlag; }
  uint64_t configurationTick() const override { return configTick; }
  uint16_t allocateClientPort(Agent&) override { return clientPortToGive; }
  void sendMessage(const adt::String& subject, const adt::String& text) override {
    messages.push_back({subject, text});
  }
  void sendError(const adt::String& text, const adt::String& details) override {
    errors.push_back({text, details});
  }
  void serverRequestAgent(uint16_t toPort, uint32_t code, uint32_t arg, const void* payload,
                          size_t length) override {
    requests.push_back(
        {toPort, code, arg, std::string(static_cast<const char*>(payload ? payload : ""), length)});
  }
  AgentVersionStore* versionStore() override { return store; }
  AgentProcessBackend& processBackend() override { return *backendInUse; }
  void queueAgentDeletion(Agent& agent) override { deletions.push_back(&agent); }
  AgentHttpSlot* openAgentHttp(Agent& agent, uint16_t httpPort, bool secure) override {
    if (openHttp) return openHttp(agent, httpPort, secure);
    slots.push_back(std::make_unique<FakeHttpSlot>(httpPort, nextSocket++));
    return slots.back().get();
  }

  std::vector<uint32_t> codesSent() const {
    std::vector<uint32_t> out;
    for (const Request& r : requests) out.push_back(r.code);
    return out;
  }
};

// Base of the lifecycle tests: a fake server in a fresh home directory and the log.
class AgentTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  FakeHost host{dir.path()};
  LogCapture logs;

  static config::AgentConf section(const std::string& name = "A", const std::string& id = "a1") {
    config::AgentConf c;
    c.name = name;
    c.id = id;
    c.cmd = "/opt/agent/run";
    return c;
  }

  // The section with `workers` processes of which `heavy` more are heavy.
  static config::AgentConf groupSection(int32_t workers, int32_t heavy = 0) {
    config::AgentConf c = section();
    c.workerProcesses = workers;
    c.heavyProcesses = heavy;
    c.totalProcesses = workers + heavy;
    return c;
  }
  // The primary record of `c` in `list`, with its extra workers appended after it.
  Agent& makeGroup(AgentList& list, const config::AgentConf& c) {
    list.push_back(std::make_unique<Agent>(host, c));
    Agent& primary = *list.back();
    primary.applyWorkers(list);
    return primary;
  }

  void advance(uint64_t ms) { host.fakeClock.advance(ms); }
  uint64_t now() { return host.fakeClock.nowMs(); }

  // Start requested and launched: the process is Starting.
  AgentProcess& launch(Agent& agent, const char* reason = "test") {
    agent.agentStartProcess(reason, false);
    agent.runOnce();
    EXPECT_NE(agent.process(), nullptr);
    return *agent.process();
  }
  // The agent's start report, as the datagram handler passes it on.
  static AgentAttach& link(Agent& agent, uint16_t port = 40001) {
    AgentStartReport report;
    report.pid = agent.process()->pid;
    return agent.process()->attachLink(port, report);
  }
  // Four kill lines in order, starting at log line `from`.
  void expectKillLines(size_t from, bool quiet) {
    std::vector<std::string> wanted = {"1. AgentProcess::kill readPipe",
                                       "2. AgentProcess::kill terminate"};
    if (!quiet) wanted.push_back("3. AgentProcess::kill sendBugReport");
    wanted.push_back("4. AgentProcess::kill finished");
    std::vector<std::string> seen;
    for (const std::string& t : logs.texts(from)) {
      if (t.find("AgentProcess::kill") != std::string::npos) seen.push_back(t);
    }
    EXPECT_EQ(seen, wanted);
  }
};

}  // namespace agents::testing
