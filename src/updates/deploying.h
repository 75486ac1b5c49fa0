// Unpacking of one agent distribution in a worker thread.
#pragma once
#include <memory>

#include "adt/text.h"
#include "updates/agent_version.h"

namespace updates {

// Marker files left in an unpack directory when its unpacking has ended.
constexpr const char* kUnpackDoneMarker = ".unpackstatus-done";
constexpr const char* kUnpackFailMarker = ".unpackstatus-fail";

// Unpacks an archive into a directory on its own thread (an adt::Thread, "Deploying::Impl"):
// the whole archive, then the agent program made executable, then the marker
// ".unpackstatus-done" or, after any failure, ".unpackstatus-fail" (logged at ERR). Only then
// is the status marked done, so a version never reads as ready before its marker exists.
// A failure never leaves the thread.
//
// Ownership: owned by the update store; the destructor stops the thread (the unpacking ends at
// its next data block, leaving the directory without a marker) and joins it. check() and the
// destructor are for the owning (server) thread.
class Deploying {
 public:
  // Starts the thread at once. Throws adt::LastError when no thread can be created.
  Deploying(adt::String archivePath, adt::String directory, std::shared_ptr<DeployStatus> status);
  ~Deploying();
  Deploying(const Deploying&) = delete;
  Deploying& operator=(const Deploying&) = delete;

  // True once the unpacking has ended; the finished thread is then joined and released.
  bool check();

  const std::shared_ptr<DeployStatus>& status() const { return status_; }

 private:
  class Impl;
  std::shared_ptr<DeployStatus> status_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace updates
