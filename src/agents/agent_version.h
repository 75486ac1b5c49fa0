// The agent supervisor's view of the update store: deployed agent distributions and the list
// they are chosen from. The store itself implements these interfaces; the supervisor only
// selects a version and reads where it lives and whether it is ready.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace agents {

// Deployment state of a distribution's unpacked copy.
enum class DeployState : int {
  kUnpacking = 0,
  kReady = 1,
  kFailed = 2,
};

// One unpacked (or unpacking) distribution. Shared by counted references
// (std::shared_ptr): the store keeps one, and every agent and run that uses the version keeps
// one, so a version stays on disk while some run was started from it. Main thread only, except
// that state() may be written by the unpacking thread (the implementation makes it safe to read).
class AgentVersion {
 public:
  virtual ~AgentVersion() = default;
  // major << 24 | minor << 16 | build.
  virtual uint32_t number() const = 0;
  // Directory holding the unpacked distribution (its agent executable is "<directory>/dorvi").
  virtual std::string directory() const = 0;
  virtual DeployState state() const = 0;
};

using AgentVersionRef = std::shared_ptr<AgentVersion>;

// The list of agent distributions the store knows and the deployed handles it keeps.
class AgentVersionStore {
 public:
  // One distribution archive of the store.
  struct Entry {
    uint32_t version = 0;
    bool unusable = false;  // the store found the archive unfit for deployment
  };

  virtual ~AgentVersionStore() = default;
  // Changes whenever the list or a deployment changes; an agent reselects when it differs from
  // the generation of its last selection.
  virtual uint32_t generation() const = 0;
  virtual std::vector<Entry> agentDistributions() const = 0;
  // The deployed handle of `version`, or null when none exists.
  virtual AgentVersionRef findDeployed(uint32_t version) = 0;
  // Creates the deployed handle of `version` and starts unpacking it.
  virtual AgentVersionRef deploy(uint32_t version) = 0;
};

}  // namespace agents
