// The one central object of a running manager: settings in force, listeners, the agents,
// users, well-known directories, the installation key and the periodic work.
#pragma once
#include <array>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "adt/dispatcher.h"
#include "adt/hang_watch.h"
#include "agents/agent.h"
#include "agents/agent_host.h"
#include "agents/agent_listener.h"
#include "agents/link_trust.h"
#include "agents/process_backend.h"
#include "clients/admin_host.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/client_listener.h"
#include "clients/login_throttle.h"
#include "clients/password_store.h"
#include "config/settings.h"
#include "config/validation.h"
#include "notify/notifier.h"
#include "platform/clock.h"
#include "platform/negotiate.h"
#include "platform/system_status.h"
#include "server/version_store.h"
#include "updates/update_store.h"
#include "web/http_am_client.h"
#include "web/web_host.h"

namespace server {

class ConsoleConnection;

// One sample of the manager's own statistics, written every 5 s.
struct ServerSample {
  double time = 0;             // local time as fractional days
  int32_t memoryPercent = 0;   // machine memory in use, percent
  uint64_t usedBytes = 0;      // machine memory in use
  uint64_t totalBytes = 0;     // machine memory in all
  // Idle time of the machine summed over its processors, and their number; processors 0: the
  // system could not tell.
  double idleSeconds = 0;
  uint32_t processors = 0;
};

// Ring of server samples: grows with the samples written up to kSamples, then the newest
// overwrites the oldest.
class ServerStatistics {
 public:
  static constexpr size_t kSamples = 16384;
  void append(const ServerSample& s);
  // Number of samples written so far (capped at kSamples) and access oldest-first.
  size_t size() const { return samples_.size(); }
  const ServerSample& at(size_t oldestFirst) const;
  // Slots allocated (never more than kSamples).
  size_t capacity() const { return samples_.capacity(); }

 private:
  std::vector<ServerSample> samples_;
  size_t oldest_ = 0;  // slot of the oldest sample once the ring is full
};

// The processor load over the last 1, 5 and 15 minutes before `nowDays`, as the number of busy
// processors: `current.processors` minus the rate at which idle time grew from the oldest
// sample inside each window to `current`. A window without such a sample (or no time between)
// gets -1. False when no window has a value.
bool processorLoad(const ServerStatistics& samples, double nowDays,
                   const platform::ProcessorTimes& current, double load[3]);

// Where things live, derived from the executable's path.
struct ServerPaths {
  std::string module;  // full path of the executable
  std::string home;    // its directory
  std::string log, run, updates, agentUpdates, amUpdates, clientUpdates;
};

// Created once per process by the console or service mode, on the main thread, and used only
// there. Construction is start-up (it throws when a port cannot be had or the settings cannot
// be read); serverProcess() is one pass of the main loop; serverStop() winds down.
class AMServer final : public config::IniDesriptorFinder,
                       public agents::AgentLinkHost,
                       public agents::AgentHost,
                       public clients::ClientHost,
                       public clients::AdminHost,
                       public web::WebHost {
 public:
  struct Options {
    // The executable's path (defaults to the running one).
    std::string modulePath;
    platform::Clock* clock = nullptr;
    // Interval of the hang watch; 0 = default.
    uint32_t hangWatchIntervalMs = 0;
    // Where agents' named pipes live; empty = the platform's default.
    std::string pipeRoot;
  };

  AMServer(const std::string& settingsPath, const Options& options);
  explicit AMServer(const std::string& settingsPath) : AMServer(settingsPath, Options{}) {}
  ~AMServer() override;
  AMServer(const AMServer&) = delete;
  AMServer& operator=(const AMServer&) = delete;

  // One main-loop pass: records itself for the hang watch and runs one dispatcher step.
  void serverProcess();
  // Closes the listeners, waits for them (at most timeoutMs), closes client connections and
  // stops the agents. `leave` keeps agents with their own output pipe running.
  void serverStop(const adt::String& reason, bool leave, uint64_t timeoutMs);
  bool stopping() const override { return stopping_; }
  // A sigstop datagram arrived: the mode's loop stops the server ("sigstop", 15 s).
  bool sigstopRequested() const { return sigstopRequested_; }

  // Executes a console command other than "q" and appends its reply; throws adt::Exception
  // "неизвестная команда \"<cmd>\"" for an unknown one.
  void consoleCommand(const adt::String& command, adt::String& out) override;

  // Settings of a running manager (read, replace and apply without a restart).
  void getSettings(const adt::String& name, std::string* text, uint32_t& stamp,
                   std::vector<adt::String>* catalogue) override;
  void serverReconfigure(const adt::String& name, const std::string& text,
                         uint32_t& stamp) override;
  // Reads the settings file again and applies it (the hang-up signal). A file that does not
  // validate changes nothing; its errors are logged. False then.
  bool reloadSettings();

  // Administration.
  clients::AdminHost* administration() override { return this; }
  std::vector<clients::ManagerSample> managerSamples(double from, double to) const override;
  void lockManager(bool on, uint32_t address) override;
  uint32_t managerLockedBy() const override { return lockedBy_; }
  void messageAllAgents(const adt::Bytes& message) override;
  std::string logDirectory() const override;
  adt::String logPrefix() const override;
  std::vector<std::string> agentLogDirectories() const override;

  // By id (exact) when id is not empty, otherwise by name.
  agents::Agent* findAgent(const adt::String& id, const adt::String& name) const;
  // The instance whose current process has a link on `port`, or null.
  agents::Agent* findAgentByPort(uint16_t port) const;
  const agents::AgentList& agentList() const { return agents_; }

  // Automatic notifications to the administrators (queued, coalesced and rate-bounded by the
  // notifier); sendError does nothing without recipients and never throws.
  void sendMessage(const adt::String& subject, const adt::String& text) override;
  void sendError(const adt::String& text, const adt::String& details) override;
  // A notification whose outcome a caller waits for (the console's mail request).
  void sendMail(const adt::String& subject, const adt::String& text,
                notify::SmtpCallBack* callback) override;
  // The notification settings in force, built from the common settings.
  notify::NotifySettings notifySettings() const;

  // Agent supervision.
  const std::string& homePath() const override { return paths_.home; }
  const std::string& runPath() const override { return paths_.run; }
  const std::string& agentUpdatesPath() const override { return paths_.agentUpdates; }
  const adt::String& serverId() const override { return common_.id; }
  const adt::String& fqdn() const override { return common_.fqdn; }
  uint16_t agentPort() const override { return common_.agentPort; }
  bool leaveHangedAgents() const override { return common_.leaveHangedAgents; }
  int64_t longOperationTimeoutMs() const override { return common_.longOperationTimeoutMs; }
  int32_t warnGcPercent() const override { return common_.warnGcPercent; }
  uint64_t configurationTick() const override { return settingsTime_; }
  uint16_t allocateClientPort(agents::Agent& agent) override;
  void serverRequestAgent(uint16_t port, uint32_t code, uint32_t arg, const void* payload,
                          size_t length) override;
  agents::AgentVersionStore* versionStore() override { return versions_.get(); }
  updates::UpdateStore* updateStore() override { return store_.get(); }
  bool processorLoad(double load[3]) override;
  agents::AgentProcessBackend& processBackend() override { return backend_; }
  void queueAgentDeletion(agents::Agent& agent) override;
  agents::AgentHttpSlot* openAgentHttp(agents::Agent& agent, uint16_t port, bool secure) override;

  // The server's periodic work, run by the dispatcher every kPeriodicIntervalMs.
  static constexpr uint64_t kPeriodicIntervalMs = 100;
  void periodicStep();
  void agentDatagram(const uint8_t* data, size_t size, uint16_t sourcePort) override;
  void agentBounced(uint16_t port) override;
  bool findRunningAgent(const adt::String& name, const adt::String& id, uint16_t port,
                        adt::String& description) override;

  adt::ChannelDispatcher& dispatcher() { return dispatcher_; }
  const config::CommonSettings& common() const { return common_; }
  const ServerPaths& paths() const { return paths_; }
  uint64_t installationKey() const override { return installationKey_; }
  const ServerStatistics& statistics() const { return statistics_; }
  const adt::String& adminName() const { return adminName_; }
  bool portAllocationEnabled() const { return portAllocation_; }
  bool clientListenerOpen() const { return clientListener_ != nullptr; }

  // Client sessions.
  platform::Clock& clock() override { return clock_; }
  const config::CommonSettings& settings() const override { return common_; }
  const std::vector<config::UserConf>& configuredUsers() const override { return users_; }
  std::optional<adt::String> defaultAdmin() const override;
  clients::PasswordStore& passwordStore() override { return passwords_; }
  clients::LoginThrottle& loginThrottle() override { return loginThrottle_; }
  uint32_t programVersion() const override;
  platform::NegotiateProvider* negotiate() override { return negotiate_.get(); }
  void recordOperation(const char* name) override;
  agents::AgentList& agents() override { return agents_; }
  bool restartManager(adt::String& why) override;

  // Web users.
  adt::String homeDirectory() const override { return paths_.home; }
  std::vector<web::AgentSummary> agents() const override;
  bool writeMetrics(uint32_t clientAddress, web::MetricsText& out) override;

  using ClientListenerT = clients::ClientListener<clients::Client, clients::ClientHost>;
  using HttpListenerT = clients::ClientListener<web::HttpAMClient, web::WebHost>;
  bool httpListenerOpen() const { return httpListener_ != nullptr; }

 private:
  void createListeners();
  // Checks a parsed settings text against the running manager and applies it. Nothing has
  // changed when it throws; `store` runs between the checks and the change (the settings file
  // is written there), and a failure in it changes nothing either.
  void reconfigure(const config::Settings& next, const std::function<void()>& store);
  void deleteQueuedAgents();
  void applyUsers(const std::vector<config::UserConf>& users);
  void sampleMemory(uint64_t now);
  void startReport(const uint8_t* payload, size_t size, uint16_t sourcePort);

  platform::Clock& clock_;
  const uint64_t startedMs_ = clock_.nowMs();  // for the manager's uptime
  bool stopping_ = false;
  std::unique_ptr<adt::CheckerThread> hangWatch_;
  std::string settingsPath_;
  ServerPaths paths_;
  config::CommonSettings common_;
  uint64_t settingsTime_ = 0;
  adt::ChannelDispatcher dispatcher_;
  // Destroyed before the dispatcher it registers mail conversations with.
  notify::Notifier notifier_{dispatcher_, clock_};
  ClientListenerT* clientListener_ = nullptr;
  HttpListenerT* httpListener_ = nullptr;
  agents::AgentListener* agentListener_ = nullptr;
  agents::LinkTrust linkTrust_;
  clients::LoginThrottle loginThrottle_;
  agents::SystemProcessBackend backend_;
  // The updates directory; outlives the agents, whose versions point into it.
  std::unique_ptr<updates::UpdateStore> store_;
  std::unique_ptr<AgentVersions> versions_;
  // One record per distinct [agent] section (by id, or name without id), in file order, with
  // their extra workers.
  agents::AgentList agents_;
  std::vector<agents::Agent*> agentsToDelete_;
  // Port of an agent link -> where in agents_ that agent was last found (checked on use).
  mutable std::unordered_map<uint16_t, size_t> portHints_;
  bool sigstopRequested_ = false;
  std::vector<config::UserConf> users_;
  clients::PasswordStore passwords_;
  // Integrated sign-in; its keytab is the settings path with the extension "keytab".
  std::unique_ptr<platform::NegotiateProvider> negotiate_;
  bool hasReadWriteUser_ = false;
  adt::String adminName_;
  ServerStatistics statistics_;
  uint64_t lastSampleTime_ = 0;
  bool sampledOnce_ = false;
  uint64_t lastMemoryWarning_ = 0;
  bool portAllocation_ = false;
  uint32_t lockedBy_ = 0;  // client address (network order) holding the manager lock; 0: none
  uint64_t installationKey_ = 0;
};

}  // namespace server
