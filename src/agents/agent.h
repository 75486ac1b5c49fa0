// One supervised agent instance: its settings, its current start, its workers and the state
// the supervision step moves along (Idle, Start pending, Starting, Running, Stopping, Finished;
// the state is not stored but follows from run, process, link and stop request).
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "adt/socket.h"
#include "adt/text.h"
#include "agents/agent_host.h"
#include "agents/agent_run.h"
#include "agents/agent_samples.h"
#include "agents/agent_version.h"
#include "agents/amp.h"
#include "agents/task_list.h"
#include "config/settings.h"

namespace agents {

class Agent;

// The server's agent array: owned records in list order.
using AgentList = std::vector<std::unique_ptr<Agent>>;

// Load score that marks an instance as unavailable for new clients.
constexpr uint32_t kLoadUnavailable = 0xFFFFFF;

// Windows of the early-failure hold-off.
constexpr uint64_t kAutoStartHoldOffMs = 900000;  // before automatic starts
constexpr uint64_t kLoginStartHoldOffMs = 15000;  // before a client login starts an agent
// An agent without clients for this long after the last one left is stopped as idle.
constexpr uint64_t kIdleLimitMs = 600000;

// Telemetry and load state: filled by the telemetry, read by the health checks and the choice
// of a worker, reset by the clean-up after a stop.
struct AgentLoad {
  uint64_t lastTelemetryTick = 0;  // 0 after a stop
  double lastTelemetryTime = 0;    // local time of the last telemetry
  uint32_t reportedClients = 0;    // clients the agent says are connected
  uint32_t reportedLoad = 0;
  uint64_t idleSinceTick = 0;   // since when no client is connected; 0 while some are
  bool clientsSeen = false;     // this run has reported a connected client
  uint64_t hangPingTick = 0;    // last ping about a hung task while clients were served
  LoadStatistics statistics{};  // the fifteen load statistics
  uint32_t score = 0;           // lower is better; kLoadUnavailable: not available
};

// One [agent] section instance (the primary), or an extra worker of it, or a temporary
// instance for a process found running. Owned by the server's AgentList; never copied.
// Main thread only; nothing is locked.
class Agent {
 public:
  // `conf` becomes both the active and the staged settings.
  Agent(AgentHost& host, const config::AgentConf& conf);
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Records a start request and creates a fresh run; the process is made by the next
  // supervision step. Only called when there is no run.
  AgentRun* agentStartProcess(const adt::String& reason, bool byConsole);

  // Chooses the distribution for the next start from the update store (only with `args`).
  void selectVersion();

  // The supervision step (one pass for this instance). A running agent whose process has
  // shown nothing new since the pass before (no end, no output: the backend's look at every
  // handle tells), with no stop or hang probe under way, is checked at most once every
  // kQuietCheckMs; every other state is looked at on every pass.
  void runOnce();
  static constexpr uint64_t kQuietCheckMs = 1000;

  // The clean-up after a stop: answers waiting web connections, deletes the run, reopens
  // listeners whose ports changed, applies the staged settings, resets telemetry, and queues a
  // removed instance for deletion.
  void cleanup();

  // A telemetry datagram (AMP code 12) of the current process: times it, counts its clients,
  // then replaces the task list and the dictionary, keeps the samples, recomputes the load
  // statistics and checks the time spent in garbage collection. A malformed payload is logged
  // and leaves everything but the time, the client count and the idle mark as it was.
  void onTelemetry(const amp::Header& header, const uint8_t* payload, size_t size);

  // The 5-second sample of the current process (times and memory), stamped with `localDays`;
  // nothing without a live process or when the system cannot tell.
  void sampleProcess(double localDays);

  // True when the last process ended before connecting back, after the last reconfiguration,
  // less than `window` ms before `now`.
  bool failedRecently(uint64_t now, uint64_t window) const;

  // Locks (or unlocks) the agent and its whole group for one client address. Throws
  // adt::Exception "Агент заблокирован с другого IP" when another address holds the lock.
  void lock(bool on, const adt::SocketAddress& client);
  bool locked() const { return lockedBy.address != 0 || lockedBy.port != 0; }

  // Appends one key name per line for each staged setting that waits for the next stop; true
  // when there is any.
  bool pendingChanges(adt::String& text) const;
  // Appends the active settings as an [agent] section ("\r\n" line ends).
  void writeSection(adt::String& text) const;

  // New settings for this instance (reconfiguration): an extra worker derives its own from the
  // section's. Applied at once when no run exists, otherwise at the clean-up after the stop.
  void configure(const config::AgentConf& section);

  // Opens, closes or hands back the manager's HTTP and HTTPS listeners so that they match the
  // staged ports. Done by the clean-up and by configure(); the server calls it once after
  // creating an instance. A port that cannot be had is logged and tried again at the next
  // clean-up.
  void syncHttpListeners();

  // Takes over a process found running at start-up: a run with the attached process, at once
  // asked to stop softly within an hour ("перезапуск AM"). Throws when it cannot be opened.
  void reattach(uint32_t pid);
  // Takes over a process of this very instance left running by the previous manager: it
  // becomes this instance's run and keeps running (no second copy is started), its output
  // read again from `pipeName`. Throws when it cannot be opened.
  void takeOver(uint32_t pid, const std::string& pipeName);

  // Workers (called on the primary). Creates missing extra workers (appended to `list`) and
  // takes surplus ones out of the group, to match the staged counts.
  void applyWorkers(AgentList& list);
  // The instance a new client goes to; its clientCount is incremented.
  Agent* pickWorker(int32_t wantedWorkerId, bool wantHeavy);

  // Sends an error notification unless `key` was notified less than 300000 ms ago.
  void notifyThrottled(uint64_t key, const adt::String& details, const adt::String& body);
  static uint64_t errorKey(uint32_t code, uint32_t kind) {
    return static_cast<uint64_t>(code) << 32 | kind;
  }

  // The current process, or null.
  AgentProcess* process() const { return run ? run->process.get() : nullptr; }
  // Process linked, not stopping, run not finished.
  bool isRunning() const;

  AgentHost& host;  // the server
  int32_t clientCount = 0;
  std::shared_ptr<std::vector<Agent*>> group;  // primary first; null without extra workers
  // Groups larger than this compare against a ranking of the group built once a pass (kept by
  // the primary) instead of member by member.
  static constexpr size_t kExactGroupLimit = 64;
  static constexpr uint64_t kRankingMs = 50;  // less than a pass apart: one ranking a pass
  int32_t workerId = 0;
  bool heavy = false;
  AgentHttpSlot* httpListener[2] = {nullptr, nullptr};  // HTTP, HTTPS (primary only)
  config::AgentConf conf;                               // active settings
  config::AgentConf stagedConf;                         // settings waiting for the next stop
  uint16_t extHttpPort = 0, extHttpsPort = 0;
  adt::SocketAddress lockedBy;  // all zero: unlocked
  std::unique_ptr<AgentRun> run;
  AgentLoad load;
  struct Ranking {
    GroupRanking ranking;
    std::unordered_map<const Agent*, size_t> rows;  // member -> its row
    uint64_t builtMs = 0;
  };
  std::unique_ptr<Ranking> groupRanking;  // the primary's, for a large group
  TaskList tasks;
  SampleHistory samples;
  ProcessSamples processSamples;  // the manager's own 5-second samples of the process
  double startedTime = 0;         // local time when the agent reported its start
  adt::String stopReason;
  adt::String startReason;
  bool startedByConsole = false;
  bool removed = false;
  // Since the record was made: processes started, ends nobody asked for, processes killed.
  uint64_t starts = 0;
  uint64_t unexpectedEnds = 0;
  uint64_t kills = 0;
  std::optional<uint64_t> startTick;      // last start request; none since the manager began
  std::optional<uint64_t> earlyFailTick;  // last end before connecting back
  // Local time of the last start or stop request; the record's creation before either.
  double scheduleMark = 0;
  uint64_t lastClientLoginTick = 0;
  uint64_t lastGcWarningTick = 0;
  std::unordered_map<uint64_t, uint64_t> errorMailTimes;
  AgentVersionRef version;  // chosen for the next start; null without `args`
  std::optional<uint32_t> storeGeneration;

 private:
  void applyStaged();
  // True when this pass can leave a quietly running agent alone (see runOnce).
  bool quietUntilNextCheck(uint64_t now);
  void runHealthChecks(uint64_t now);
  // True when a restart time asked for a stop.
  bool checkRestartTime();
  // Keeps the restart times armed through a pass that does not check them.
  void keepRestartArmed();
  void compareWithGroup();
  void checkGarbageCollection(const amp::PerformanceSample& sample, uint64_t now, double localDays);
  int32_t freeWorkerId() const;
  void takeOutOfGroup(Agent& worker);

  bool deletionQueued_ = false;
  uint64_t lastCheckTick_ = 0;  // the last pass that made the checks
};

// "Не найдена подходящая версия агента" names the required versions this way: the bound when
// both print alike, "без ограничений", "<=upper", ">=lower" or "lower-upper".
adt::String requiredVersionText(uint32_t verMin, uint32_t verMax);
// Distributions that write their output into the named pipe: 5.1.519 up to 5.2.0, and 5.2.6 on.
bool usesNamedPipe(uint32_t version);
// The settings of an extra worker: the section's, without its own listening ports.
config::AgentConf workerConf(const config::AgentConf& section);

}  // namespace agents
