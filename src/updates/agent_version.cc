#include "updates/agent_version.h"

#include <utility>

#include "updates/distribution_name.h"

namespace updates {

AgentVersion::AgentVersion(uint32_t version, adt::String archivePath, adt::String directory,
                           std::shared_ptr<DeployStatus> status)
    : version_(version),
      archivePath_(std::move(archivePath)),
      directory_(std::move(directory)),
      status_(std::move(status)) {}

adt::String AgentVersion::executablePath() const { return directory_ + "/" + kAgentExecutable; }

AgentVersion::State AgentVersion::state() const {
  std::lock_guard<std::mutex> hold(status_->lock);
  if (!status_->done) return kUnpacking;
  return status_->failed ? kFailed : kReady;
}

adt::String AgentVersion::failure() const {
  std::lock_guard<std::mutex> hold(status_->lock);
  return status_->done && status_->failed ? status_->failure : adt::String();
}

VersionInUse::VersionInUse(std::shared_ptr<AgentVersion> version) : version_(std::move(version)) {
  if (version_) version_->addUse();
}

VersionInUse& VersionInUse::operator=(VersionInUse&& other) noexcept {
  if (this != &other) {
    reset();
    version_ = std::move(other.version_);
  }
  return *this;
}

void VersionInUse::reset() {
  if (version_) version_->releaseUse();
  version_.reset();
}

}  // namespace updates
