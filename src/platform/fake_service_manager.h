// A stand-in for the machine's service manager, for tests of the service commands: the
// registration and the state live in memory, and a started or stopped service reaches its
// new state after a number of queries chosen by the test (or never). No system calls.
#pragma once
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace platform {

// Owned by the test; one thread.
class FakeServiceManager final : public ServiceManager {
 public:
  // Queries that still report the pending state after a request; -1: it never settles.
  int settleAfterQueries = 2;
  // Every operation fails with this text when it is not empty.
  std::string failure;

  bool installed = false;
  ServiceDefinition definition;
  ServiceState state = ServiceState::kStopped;
  int queries = 0;
  std::vector<std::string> calls;  // "install", "remove", "start", "stop" in order

  bool install(const ServiceDefinition& d, std::string& error) override;
  bool remove(const std::string& name, std::string& error) override;
  bool installedExecutable(const std::string& name, std::string& path, std::string& error) override;
  bool query(const std::string& name, ServiceState& out, std::string& error) override;
  bool requestStart(const std::string& name, std::string& error) override;
  bool requestStop(const std::string& name, std::string& error) override;

 private:
  bool failed(std::string& error) const;
  int pendingLeft_ = 0;
};

}  // namespace platform
