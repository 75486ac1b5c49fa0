// One agent distribution known to the update store: its version, its archive and the directory
// it is unpacked into, with the state of that unpacking.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "adt/text.h"

namespace updates {

// Unpacking state shared between a version record and the thread that unpacks it. Written by
// that thread, read by the server thread; every field is guarded by `lock`.
struct DeployStatus {
  std::mutex lock;
  bool done = false;    // the unpacking has ended (markers written)
  bool failed = false;  // it ended with an error
  adt::String failure;  // that error's text
};

// A distribution record. Created by the update store on a rescan and shared (std::shared_ptr)
// with whoever picked it: an agent keeps the version chosen for its next start, a run the one it
// started from. The record outlives its place in the store's list as long as someone holds it.
//
// Thread: the server thread, except state() and failure(), which any thread may call.
class AgentVersion {
 public:
  enum State { kUnpacking = 0, kReady = 1, kFailed = 2 };

  AgentVersion(uint32_t version, adt::String archivePath, adt::String directory,
               std::shared_ptr<DeployStatus> status);
  AgentVersion(const AgentVersion&) = delete;
  AgentVersion& operator=(const AgentVersion&) = delete;

  // major << 24 | minor << 16 | build.
  uint32_t versionNumber() const { return version_; }
  // The archive in updates/agents (absolute).
  const adt::String& archivePath() const { return archivePath_; }
  // run/<major>.<minor>.<build> (absolute).
  const adt::String& directory() const { return directory_; }
  // The agent program inside the directory: directory + "/" + kAgentExecutable.
  adt::String executablePath() const;

  // 0 still unpacking, 1 ready, 2 unpacking failed.
  State state() const;
  // The unpacking error, "" unless state() is kFailed.
  adt::String failure() const;

  // Agent processes running from this version. While it is not zero the store refuses to delete
  // the archive and keeps the unpacked directory. Use VersionInUse rather than these.
  int uses() const { return uses_; }
  void addUse() { ++uses_; }
  void releaseUse() {
    if (uses_ > 0) --uses_;
  }

  const std::shared_ptr<DeployStatus>& status() const { return status_; }

 private:
  const uint32_t version_;
  const adt::String archivePath_;
  const adt::String directory_;
  const std::shared_ptr<DeployStatus> status_;
  int uses_ = 0;
};

// Marks a version as in use by one agent process for its lifetime (held by the run that started
// the process). Move-only; an empty one marks nothing. Server thread.
class VersionInUse {
 public:
  VersionInUse() = default;
  explicit VersionInUse(std::shared_ptr<AgentVersion> version);
  ~VersionInUse() { reset(); }
  VersionInUse(VersionInUse&& other) noexcept : version_(std::move(other.version_)) {}
  VersionInUse& operator=(VersionInUse&& other) noexcept;
  VersionInUse(const VersionInUse&) = delete;
  VersionInUse& operator=(const VersionInUse&) = delete;

  const std::shared_ptr<AgentVersion>& version() const { return version_; }
  void reset();

 private:
  std::shared_ptr<AgentVersion> version_;
};

}  // namespace updates
