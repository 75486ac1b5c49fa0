// The machine's service manager as the service commands and the service itself need it:
// installing and removing this program's service, asking it to start or stop, reading its
// state; and, from inside the service, the readiness and watchdog notifications.
//
// Translation only: waiting, time-outs and messages are decided above. Failures return false
// with the reason in `error`.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class ServiceState {
  kNotInstalled,
  kStopped,  // installed, not running (also after a failure)
  kStartPending,
  kRunning,
  kStopPending,
};

// What registration writes.
struct ServiceDefinition {
  std::string name;               // "dvx_am"
  std::string description;        // one line
  std::string executable;         // full path; started without arguments
  std::string directory;          // working directory (the home)
  uint32_t stopLimitSeconds = 0;  // how long a stop may take before the manager gives up
};

// One service manager. Not thread-safe; used by one command at a time.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Registers the service to start with the machine. A registration already there is replaced.
  virtual bool install(const ServiceDefinition& definition, std::string& error) = 0;
  virtual bool remove(const std::string& name, std::string& error) = 0;
  // The executable the registration starts.
  virtual bool installedExecutable(const std::string& name, std::string& path,
                                   std::string& error) = 0;
  virtual bool query(const std::string& name, ServiceState& state, std::string& error) = 0;
  // Ask for a start or stop and return at once; the state tells the outcome later.
  virtual bool requestStart(const std::string& name, std::string& error) = 0;
  virtual bool requestStop(const std::string& name, std::string& error) = 0;
};

// Runs a program to its end: its exit code (-1 when it could not run) and what it printed.
using CommandRunner = std::function<int(const std::vector<std::string>& args, std::string& out)>;
// The runner that really starts the program (bounded: at most 64 KiB of output are kept).
CommandRunner realCommandRunner();

// systemd: a unit file "<name>.service" in `unitDirectory`, systemctl through `runner`.
std::unique_ptr<ServiceManager> makeSystemdServiceManager(const std::string& unitDirectory,
                                                          CommandRunner runner);
// The unit file text for `definition`.
std::string systemdUnitText(const ServiceDefinition& definition);
// The service manager of this machine (systemd, units in /etc/systemd/system).
std::unique_ptr<ServiceManager> systemServiceManager();

// From inside the service: the notification socket the service manager gave this process
// ($NOTIFY_SOCKET), or empty when none did.
std::string serviceNotifySocket();
// Sends one notification ("READY=1", "STATUS=...", several lines at once allowed). False when
// there is no socket or the send failed.
bool serviceNotify(const std::string& assignments);
// The watchdog interval the service manager expects pings within ($WATCHDOG_USEC, only when
// $WATCHDOG_PID is absent or names this process), in microseconds; 0 when none.
uint64_t serviceWatchdogUsec();

}  // namespace platform
