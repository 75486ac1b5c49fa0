// The service commands (reg, unreg, safe_unreg, start, stop, restart): the decisions, waits
// and messages, over whatever service manager the machine has. Used by the command-line modes
// on the main thread; nothing here talks to the system directly.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/service_manager.h"
#include "server/arguments.h"

namespace server {

constexpr const char* kServiceName = "dvx_am";
constexpr const char* kServiceDisplayName = "Orvo agent manager (v5.2.xxx learning edition)";

// The description the registration carries: the title and the version.
std::string serviceDescription();
// What "reg" registers for the manager at `executable`: name, description, program, its
// directory as the working directory, the stop limit. The package's unit is made from it too.
platform::ServiceDefinition serviceDefinition(const std::string& executable);

// Outcome of a start or stop with its wait.
enum WaitResult : int {
  kNothingToDo = 0,  // it was already running (start) or not running (stop)
  kTimedOut = 1,     // the state was not reached within kWaitLimitMs
  kReached = 2,
};

// Holds the manager and the clock it was given (both outlive it). One thread.
class ServiceControl {
 public:
  static constexpr uint32_t kPollMs = 300;
  static constexpr uint64_t kWaitLimitMs = 20000;
  // The unit's stop limit: above the manager's own stop (20 s for the listeners, then the
  // agents' 20 s end with a kill) so the service manager never kills a stop that is on time.
  static constexpr uint32_t kStopLimitSeconds = 60;

  // `executable`: the full path of this program. `sleep` waits that many milliseconds.
  ServiceControl(platform::ServiceManager& manager, std::string executable, platform::Clock& clock,
                 std::function<void(uint32_t)> sleep);

  // Start or stop and wait for the state. A failing service manager throws adt::Exception.
  WaitResult start();
  WaitResult stop();

  // The commands: each logs its outcome and returns whether it succeeded.
  bool registerService();
  // safe: only the registration that starts this very executable is removed; another
  // installation's is left alone without a message (false).
  bool unregisterService(bool safe);
  bool startService();
  bool stopService();

 private:
  platform::ServiceState state();
  WaitResult waitFor(platform::ServiceState target);

  platform::ServiceManager& manager_;
  std::string executable_;
  platform::Clock& clock_;
  std::function<void(uint32_t)> sleep_;
};

// The installation key of the manager installed at `executable`: CRC-64/WE of its directory.
uint64_t installationKeyOf(const std::string& executable);

// restart: holds the leave marker of `key` while the service stops and starts again, so that
// agents with their own output pipe keep running and the new manager takes them over. The
// start happens only when the stop succeeded. Throws when the marker cannot be made.
bool restartService(ServiceControl& control, uint64_t key);

// The command-line mode reg, unreg, safe_unreg, start, stop or restart on this machine's service
// manager: exit code 0, or 1 when the service did not get where it was asked to.
int runServiceCommand(Mode mode);

}  // namespace server
