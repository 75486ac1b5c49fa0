#include "platform/fake_service_manager.h"

namespace platform {

bool FakeServiceManager::failed(std::string& error) const {
  if (failure.empty()) return false;
  error = failure;
  return true;
}

bool FakeServiceManager::install(const ServiceDefinition& d, std::string& error) {
  calls.push_back("install");
  if (failed(error)) return false;
  installed = true;
  definition = d;
  state = ServiceState::kStopped;
  return true;
}

bool FakeServiceManager::remove(const std::string&, std::string& error) {
  calls.push_back("remove");
  if (failed(error)) return false;
  if (!installed) {
    error = "not installed";
    return false;
  }
  installed = false;
  return true;
}

bool FakeServiceManager::installedExecutable(const std::string&, std::string& path,
                                             std::string& error) {
  if (failed(error)) return false;
  if (!installed) {
    error = "not installed";
    return false;
  }
  path = definition.executable;
  return true;
}

bool FakeServiceManager::query(const std::string&, ServiceState& out, std::string& error) {
  ++queries;
  if (failed(error)) return false;
  if (!installed) {
    out = ServiceState::kNotInstalled;
    return true;
  }
  if (state == ServiceState::kStartPending || state == ServiceState::kStopPending) {
    if (pendingLeft_ == 0) {
      state =
          state == ServiceState::kStartPending ? ServiceState::kRunning : ServiceState::kStopped;
    } else if (pendingLeft_ > 0) {
      --pendingLeft_;
    }
  }
  out = state;
  return true;
}

bool FakeServiceManager::requestStart(const std::string&, std::string& error) {
  calls.push_back("start");
  if (failed(error)) return false;
  if (!installed) {
    error = "not installed";
    return false;
  }
  if (state == ServiceState::kStopped) {
    state = ServiceState::kStartPending;
    pendingLeft_ = settleAfterQueries;
  }
  return true;
}

bool FakeServiceManager::requestStop(const std::string&, std::string& error) {
  calls.push_back("stop");
  if (failed(error)) return false;
  if (!installed) {
    error = "not installed";
    return false;
  }
  if (state == ServiceState::kRunning || state == ServiceState::kStartPending) {
    state = ServiceState::kStopPending;
    pendingLeft_ = settleAfterQueries;
  }
  return true;
}

}  // namespace platform
