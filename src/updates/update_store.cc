// The distribution list of the update store: rescan, unpacking threads, version choice and the
// clean-up of run/. The console's file operations are in store_requests.cc.
#include "updates/update_store.h"

#include <algorithm>
#include <utility>

#include "adt/file.h"
#include "adt/log.h"
#include "platform/file.h"
#include "updates/distribution_name.h"
#include "updates/file_tree.h"

namespace updates {
namespace {

struct DirEntry {
  adt::String name;
  bool directory;
};

// The entries of a directory sorted by name, so that every walk sees the same order.
std::vector<DirEntry> sortedEntries(const adt::String& directory) {
  std::vector<DirEntry> entries;
  adt::DirectoryIterator it(directory);
  adt::String name;
  for (;;) {
    const adt::DirectoryIterator::Kind kind = it.next(name);
    if (kind == adt::DirectoryIterator::kEnd) break;
    entries.push_back({name, kind == adt::DirectoryIterator::kDirectory});
  }
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return entries;
}

bool readable(const adt::String& path) {
  adt::File file;
  return file.open(path, adt::kFileRead | adt::kShareReadWrite | adt::kOpenExisting);
}

}  // namespace

UpdateStore::UpdateStore(const adt::String& home)
    : home_(adt::longPath(home)), updates_(home_ + "/updates"), run_(home_ + "/run") {}

// Each Deploying stops its thread (at its next data block) and joins it.
UpdateStore::~UpdateStore() = default;

std::shared_ptr<AgentVersion> UpdateStore::makeRecord(uint32_t version,
                                                      const adt::String& archive) {
  const adt::String directory = run_ + "/" + versionDirectoryName(version);
  // A thread still unpacking this version (its archive was renamed or marked bad and back)
  // goes on serving the new record.
  auto running = deployments_.find(version);
  if (running != deployments_.end())
    return std::make_shared<AgentVersion>(version, archive, directory, running->second->status());
  auto status = std::make_shared<DeployStatus>();
  if (platform::isDirectory(directory)) {
    const bool done = platform::pathExists(directory + "/" + kUnpackDoneMarker);
    const bool failed = platform::pathExists(directory + "/" + kUnpackFailMarker);
    if (done || failed) {
      status->done = true;
      status->failed = failed;
      if (failed) status->failure = "Ошибка распаковки файла";
      return std::make_shared<AgentVersion>(version, archive, directory, status);
    }
    // No marker: an unpacking was cut off (the manager stopped during it). Its files cannot be
    // trusted, so start again from an empty directory.
    adt::log(adt::LOG_WARN, "removing incompletely unpacked " + directory);
    try {
      removeTree(directory);
    } catch (const std::exception& e) {
      adt::log(adt::LOG_ERR, adt::String("cannot remove ") + directory + ": " + e.what());
    }
  }
  adt::log(adt::LOG_INFO, "unpacking " + archive + " into " + directory);
  try {
    deployments_[version] = std::make_unique<Deploying>(archive, directory, status);
  } catch (const std::exception& e) {
    // No thread: the version stays unusable until the next start rather than failing the scan.
    adt::log(adt::LOG_ERR, "unpacking " + archive + " into " + directory + " failed: " + e.what());
    deployments_.erase(version);
    status->done = true;
    status->failed = true;
    status->failure = e.what();
  }
  return std::make_shared<AgentVersion>(version, archive, directory, status);
}

void UpdateStore::walk(const adt::String& directory,
                       std::vector<std::shared_ptr<AgentVersion>>& out,
                       std::map<uint32_t, bool>& seen) {
  for (const DirEntry& entry : sortedEntries(directory)) {
    const adt::String path = directory + "/" + entry.name;
    if (entry.directory) {
      walk(path, out, seen);
      continue;
    }
    uint32_t version = 0;
    adt::String reason;
    if (!parseDistributionName(entry.name, version, &reason)) {
      adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
          << "not a distribution: " << path << ": " << reason;
      continue;
    }
    if (!readable(path)) continue;
    if (seen[version]) {
      adt::log(adt::LOG_WARN, "distribution " + path + " ignored: version " +
                                  versionDirectoryName(version) + " is given by another archive");
      continue;
    }
    seen[version] = true;
    std::shared_ptr<AgentVersion> record = knownRecord(path, version);
    out.push_back(record ? record : makeRecord(version, path));
  }
}

std::shared_ptr<AgentVersion> UpdateStore::knownRecord(const adt::String& archive,
                                                       uint32_t version) const {
  auto same = [&](const std::shared_ptr<AgentVersion>& record) {
    return record && record->archivePath() == archive && record->versionNumber() == version;
  };
  for (const auto& record : versions_) {
    if (same(record)) return record;
  }
  // An archive that comes back (marked bad and good again) while agents still run from it gets
  // its old record, which counts them. Without runners its directory may have been cleaned up
  // meanwhile, so it starts afresh.
  for (const auto& weak : retired_) {
    auto record = weak.lock();
    if (same(record) && record->uses() > 0) return record;
  }
  return nullptr;
}

void UpdateStore::rescan() {
  const adt::String agents = agentsDirectory();
  if (platform::isDirectory(agents)) {
    std::vector<std::shared_ptr<AgentVersion>> fresh;
    std::map<uint32_t, bool> seen;
    walk(agents, fresh, seen);
    std::sort(fresh.begin(), fresh.end(),
              [](const auto& a, const auto& b) { return a->versionNumber() < b->versionNumber(); });
    // Records that leave the list stay known while someone still holds them, so that a version
    // an agent runs from is never taken for unused.
    std::vector<std::weak_ptr<AgentVersion>> retired;
    auto retire = [&](const std::shared_ptr<AgentVersion>& record) {
      if (!record || std::find(fresh.begin(), fresh.end(), record) != fresh.end()) return;
      for (const auto& weak : retired) {
        if (weak.lock() == record) return;
      }
      retired.push_back(record);
    };
    for (const auto& record : versions_) retire(record);
    for (const auto& weak : retired_) retire(weak.lock());
    retired_ = std::move(retired);
    versions_ = std::move(fresh);
  }
  ++generation_;
}

std::shared_ptr<AgentVersion> UpdateStore::select(uint32_t lower, uint32_t upper) const {
  for (auto it = versions_.rbegin(); it != versions_.rend(); ++it) {
    const uint32_t v = (*it)->versionNumber();
    if (v < lower || v > upper) continue;
    if ((*it)->state() == AgentVersion::kFailed) continue;
    return *it;
  }
  return nullptr;
}

void UpdateStore::poll() {
  for (auto it = deployments_.begin(); it != deployments_.end();) {
    if (it->second->check()) {
      it = deployments_.erase(it);
    } else {
      ++it;
    }
  }
}

bool UpdateStore::versionInUse(uint32_t version) const {
  for (const auto& record : versions_) {
    if (record->versionNumber() == version && record->uses() > 0) return true;
  }
  for (const auto& weak : retired_) {
    const auto record = weak.lock();
    if (record && record->versionNumber() == version && record->uses() > 0) return true;
  }
  return false;
}

bool UpdateStore::archiveInUse(const adt::String& archive) const {
  for (const auto& record : versions_) {
    if (record->archivePath() == archive && record->uses() > 0) return true;
  }
  for (const auto& weak : retired_) {
    const auto record = weak.lock();
    if (record && record->archivePath() == archive && record->uses() > 0) return true;
  }
  return false;
}

void UpdateStore::cleanUp() {
  for (const DirEntry& entry : sortedEntries(run_)) {
    uint32_t version = 0;
    if (!entry.directory || entry.name.size() <= 4 || !parseVersion(entry.name, version)) continue;
    const adt::String path = run_ + "/" + entry.name;
    const bool listed = std::any_of(versions_.begin(), versions_.end(), [&](const auto& record) {
      return record->directory() == path;
    });
    if (listed || deployments_.count(version) || versionInUse(version)) continue;
    adt::log(adt::LOG_INFO, "removing " + path);
    try {
      removeTree(path);
    } catch (const std::exception& e) {
      adt::log(adt::LOG_ERR, adt::String("cannot remove ") + path + ": " + e.what());
    }
  }
}

void UpdateStore::uploaded() {
  // A clean-up before the rescan too: a directory left by an earlier archive of the same version
  // (deleted since) must not pass for the new archive's unpacking.
  cleanUp();
  rescan();
  cleanUp();
}

}  // namespace updates
