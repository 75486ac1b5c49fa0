#include "server/version_store.h"

namespace server {
namespace {

// One agent's (or run's) hold on an unpacked distribution.
class HeldVersion final : public agents::AgentVersion {
 public:
  explicit HeldVersion(std::shared_ptr<updates::AgentVersion> version)
      : version_(version), inUse_(std::move(version)) {}
  uint32_t number() const override { return version_->versionNumber(); }
  std::string directory() const override { return version_->directory(); }
  agents::DeployState state() const override {
    switch (version_->state()) {
      case updates::AgentVersion::kReady: return agents::DeployState::kReady;
      case updates::AgentVersion::kFailed: return agents::DeployState::kFailed;
      default: return agents::DeployState::kUnpacking;
    }
  }

 private:
  std::shared_ptr<updates::AgentVersion> version_;
  updates::VersionInUse inUse_;
};

}  // namespace

std::vector<agents::AgentVersionStore::Entry> AgentVersions::agentDistributions() const {
  std::vector<Entry> out;
  for (const auto& v : store_.versions()) {
    Entry e;
    e.version = v->versionNumber();
    e.unusable = v->state() == updates::AgentVersion::kFailed;
    out.push_back(e);
  }
  return out;
}

agents::AgentVersionRef AgentVersions::findDeployed(uint32_t version) {
  for (const auto& v : store_.versions()) {
    if (v->versionNumber() == version) return std::make_shared<HeldVersion>(v);
  }
  return nullptr;
}

}  // namespace server
