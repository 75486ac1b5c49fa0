#include "server/service_control.h"

#include "adt/exception.h"
#include "adt/log.h"
#include "adt/text.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/self.h"
#include "server/arguments.h"

namespace server {
namespace {

adt::String quotedName() { return adt::String("service \"") + kServiceDisplayName + "\" "; }

[[noreturn]] void fail(const char* operation, const std::string& error) {
  throw adt::Exception(adt::String(operation) + ": " + error);
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string serviceDescription() {
  return std::string(kTitle) + "  (v. " + adt::versionText(kVersion) + ")";
}

ServiceControl::ServiceControl(platform::ServiceManager& manager, std::string executable,
                               platform::Clock& clock, std::function<void(uint32_t)> sleep)
    : manager_(manager),
      executable_(std::move(executable)),
      clock_(clock),
      sleep_(std::move(sleep)) {}

platform::ServiceState ServiceControl::state() {
  platform::ServiceState s = platform::ServiceState::kNotInstalled;
  std::string error;
  if (!manager_.query(kServiceName, s, error)) fail("Service::QueryStatus", error);
  return s;
}

WaitResult ServiceControl::waitFor(platform::ServiceState target) {
  const uint64_t t0 = clock_.nowMs();
  while (state() != target) {
    sleep_(kPollMs);
    if (clock_.nowMs() - t0 > kWaitLimitMs) return state() == target ? kReached : kTimedOut;
  }
  return kReached;
}

WaitResult ServiceControl::start() {
  const platform::ServiceState s = state();
  if (s == platform::ServiceState::kNotInstalled)
    fail("Service::Service:OpenService()", "служба не зарегистрирована");
  if (s == platform::ServiceState::kRunning) return kNothingToDo;
  std::string error;
  if (s != platform::ServiceState::kStartPending && !manager_.requestStart(kServiceName, error)) {
    fail("Service::Start:StartService()", error);
  }
  return waitFor(platform::ServiceState::kRunning);
}

WaitResult ServiceControl::stop() {
  const platform::ServiceState s = state();
  if (s == platform::ServiceState::kNotInstalled)
    fail("Service::Service:OpenService()", "служба не зарегистрирована");
  if (s == platform::ServiceState::kStopped) return kNothingToDo;
  std::string error;
  if (s != platform::ServiceState::kStopPending && !manager_.requestStop(kServiceName, error)) {
    fail("Service::Stop:ControlService()", error);
  }
  return waitFor(platform::ServiceState::kStopped);
}

platform::ServiceDefinition serviceDefinition(const std::string& executable) {
  platform::ServiceDefinition d;
  d.name = kServiceName;
  d.description = serviceDescription();
  d.executable = executable;
  d.directory = directoryOf(executable);
  d.stopLimitSeconds = ServiceControl::kStopLimitSeconds;
  return d;
}

bool ServiceControl::registerService() {
  const platform::ServiceDefinition d = serviceDefinition(executable_);
  std::string error;
  if (!manager_.install(d, error)) fail("RegisterService:CreateService", error);
  adt::log(adt::LOG_INFO, quotedName() + "registered");
  return true;
}

bool ServiceControl::unregisterService(bool safe) {
  if (state() == platform::ServiceState::kNotInstalled) {
    fail("Service::Service:OpenService()", "служба не зарегистрирована");
  }
  if (safe) {
    std::string registered, error;
    if (!manager_.installedExecutable(kServiceName, registered, error)) {
      fail("ServiceConfig:QueryServiceConfig()", error);
    }
    // Paths are case-sensitive here: /opt/AM/am and /opt/am/am are two installations.
    if (registered != executable_) return false;
  }
  switch (stop()) {
    case kReached:
      adt::log(adt::LOG_INFO, quotedName() + "stopped");
      break;
    case kNothingToDo:
      break;
    case kTimedOut:
      adt::log(adt::LOG_WARN, quotedName() + "stop timeout");
      return false;
  }
  std::string error;
  if (!manager_.remove(kServiceName, error)) fail("Service::Delete:DeleteService()", error);
  adt::log(adt::LOG_INFO, quotedName() + "unregistered");
  return true;
}

namespace {

// Logs how a start or stop ended ("started", "already started", "start timeout", ...); true
// unless it timed out.
bool reportWait(WaitResult r, const char* done, const char* already, const char* late) {
  switch (r) {
    case kReached:
      adt::log(adt::LOG_INFO, quotedName() + done);
      return true;
    case kNothingToDo:
      adt::log(adt::LOG_WARN, quotedName() + already);
      return true;
    case kTimedOut:
      adt::log(adt::LOG_WARN, quotedName() + late);
      return false;
  }
  adt::log(adt::LOG_ERR, quotedName() + "unknown(" + std::to_string(r) + ")");
  return false;
}

}  // namespace

bool ServiceControl::startService() {
  return reportWait(start(), "started", "already started", "start timeout");
}

bool ServiceControl::stopService() {
  return reportWait(stop(), "stopped", "already stopped", "stop timeout");
}

uint64_t installationKeyOf(const std::string& executable) {
  return adt::crc64we(directoryOf(executable));
}

bool restartService(ServiceControl& control, uint64_t key) {
  std::unique_ptr<platform::LeaveMarker> marker = platform::createLeaveMarker(key);
  if (!marker) throw adt::LastError("leave marker", platform::lastError());
  if (!control.stopService()) return false;
  return control.startService();
}

int runServiceCommand(Mode mode) {
  std::unique_ptr<platform::ServiceManager> manager = platform::systemServiceManager();
  const std::string exe = platform::executablePath();
  ServiceControl control(*manager, exe, platform::systemClock(), platform::sleepMs);
  // A script sees a command that failed. safe_unreg of another installation's service did
  // nothing on purpose: that is no failure.
  switch (mode) {
    case Mode::kRegister:
      return control.registerService() ? 0 : 1;
    case Mode::kUnregister:
      return control.unregisterService(false) ? 0 : 1;
    case Mode::kSafeUnregister:
      control.unregisterService(true);
      return 0;
    case Mode::kStart:
      return control.startService() ? 0 : 1;
    case Mode::kStop:
      return control.stopService() ? 0 : 1;
    default:
      return restartService(control, installationKeyOf(exe)) ? 0 : 1;
  }
}

}  // namespace server
