// The agents' view of the update store: the distributions to choose from and their unpacked
// copies. Every handle an agent or a run holds marks its version as in use, so the archive
// cannot be deleted while an agent is to start or runs from it.
#pragma once
#include "agents/agent_version.h"
#include "updates/update_store.h"

namespace server {

// Main thread only (the store's unpacking threads only write the deployment state).
class AgentVersions final : public agents::AgentVersionStore {
 public:
  explicit AgentVersions(updates::UpdateStore& store) : store_(store) {}

  uint32_t generation() const override { return store_.generation(); }
  std::vector<Entry> agentDistributions() const override;
  agents::AgentVersionRef findDeployed(uint32_t version) override;
  // Every distribution is unpacked when the store finds it, so deploying is finding.
  agents::AgentVersionRef deploy(uint32_t version) override { return findDeployed(version); }

 private:
  updates::UpdateStore& store_;
};

}  // namespace server
