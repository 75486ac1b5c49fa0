// The update store: the updates directory of the manager's home (agent distributions, client
// updates, updates of the manager itself), the list of agent distributions that agents are
// launched from, their unpacking into run/<version>, and the file operations that the
// administration console's update requests perform.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "adt/text.h"
#include "updates/agent_version.h"
#include "updates/deploying.h"

namespace updates {

class Upload;

// One entry of a listing.
struct ListEntry {
  enum Status { kNoStatus = 0, kUnusable = 1, kUnpackFailed = 2 };

  adt::String name;
  bool directory = false;
  // Files: modification time as local fractional days; 0 when unknown.
  double modified = 0;
  // With details only: agent archives without a version record are kUnusable, those whose
  // unpacking failed kUnpackFailed with statusText "Ошибка распаковки файла"; manager updates
  // that fail the compatibility check are kUnusable.
  Status status = kNoStatus;
  adt::String statusText;
};

// Owned by the server; lives for the whole process. Not thread-safe: everything here runs on
// the server thread, except the unpacking, which runs in one Deploying thread per archive and
// touches only its archive, its directory and its DeployStatus.
//
// Client paths are relative to updates/ with "/" or "\" separators; a first component "agent"
// or "client" stands for "agents" or "clients". Every operation that takes one refuses a path
// that leads outside updates/ ("Недопустимый путь: \"<path>\"").
class UpdateStore {
 public:
  // `home` is the manager's home directory (the directory of its program file).
  explicit UpdateStore(const adt::String& home);
  // Stops and joins the unpacking threads.
  ~UpdateStore();
  UpdateStore(const UpdateStore&) = delete;
  UpdateStore& operator=(const UpdateStore&) = delete;

  const adt::String& home() const { return home_; }
  const adt::String& updatesDirectory() const { return updates_; }
  adt::String agentsDirectory() const { return updates_ + "/agents"; }
  adt::String clientsDirectory() const { return updates_ + "/clients"; }
  adt::String managerUpdatesDirectory() const { return updates_ + "/am"; }
  const adt::String& runDirectory() const { return run_; }

  // ---- Agent distributions (used by the launch) ----

  // Rebuilds the list from updates/agents and its subdirectories (when it exists): every
  // readable file that passes the distribution name rules gets a record, the first one found
  // for each version (names in sorted order); records for unchanged archives are kept. A new
  // record whose directory is absent starts unpacking at once; one whose directory holds a
  // marker takes its state from it; a directory without a marker (an unpacking that was cut
  // off) is removed and unpacked again. Then increments the generation.
  void rescan();
  // Incremented by every rescan; agents compare it with the one they saw at their last choice.
  uint32_t generation() const { return generation_; }
  // The current records, in ascending version order.
  const std::vector<std::shared_ptr<AgentVersion>>& versions() const { return versions_; }
  // The highest version with lower <= version <= upper whose unpacking has not failed (it may
  // still be unpacking); null when there is none.
  std::shared_ptr<AgentVersion> select(uint32_t lower, uint32_t upper) const;
  // Joins the unpacking threads that have finished. Call from the server's periodic step.
  void poll();
  // True while some unpacking thread has not been joined yet.
  bool unpacking() const { return !deployments_.empty(); }
  // Removes every directory of run/ whose name is a version (longer than 4 characters) that
  // has no record, unless that version is being unpacked or an agent still runs from it.
  // Failures are logged and skipped.
  void cleanUp();

  // ---- Requests of the administration console ----

  // True for "" and "/" (the root, listed as the areas "agent", "client" and "am").
  static bool isRoot(const adt::String& clientPath);
  // The absolute path below updates/ that `clientPath` names; throws adt::Exception
  // "Недопустимый путь: \"<path>\"" for a path that leads outside it.
  adt::String resolve(const adt::String& clientPath) const;
  // The entries of a directory (sorted by name); the root gives the three areas. A missing
  // directory lists as empty.
  std::vector<ListEntry> list(const adt::String& clientPath, bool details) const;
  // Starts an upload into a temporary file beside the target (parent directories created). The
  // target must end with ".zip" (else "неверный тип файла") and must not be being uploaded
  // already (else "Файл \"<target>\" уже загружается"). The store must outlive the upload.
  std::unique_ptr<Upload> beginUpload(const adt::String& clientPath);
  // Deletes a file, then rescans and cleans up. Refused with "Обновление \"<path>\" используется
  // одним из агентов" while an agent runs from that archive.
  void remove(const adt::String& clientPath);
  // Renames "x" to "x.bad" (a ".bad" name is no distribution), then rescans; a name already
  // ending with ".bad" is left alone.
  void markBad(const adt::String& clientPath);
  // Renames "x.bad" back to "x", then rescans; other names are left alone.
  void unmarkBad(const adt::String& clientPath);
  // Prepares the manager's own update from a file in updates/am and installs its files into the
  // home directory; the caller then restarts the manager. Checks, in this order: the file lies
  // in updates/am ("Apply on non-am update"), its name passes the compatibility check, its
  // ".updateinfo" asks for no manager newer than `runningVersion` ("Для установки этого
  // обновления требуется am >= <version>"; `defaultUpdater` when it names none). Nothing is
  // changed before these pass. Then the running program file is switched to its backup
  // "<name>.bak" (once per store) and the archive is unpacked into the home directory, limited
  // to the entries of the `extract` list when there is one.
  void applyManagerUpdate(const adt::String& clientPath, uint32_t runningVersion,
                          uint32_t defaultUpdater);

 private:
  friend class Upload;
  // Called by Upload::finish once the archive is in place: clean-up, rescan, clean-up.
  void uploaded();
  // Marks `target` as being uploaded; false when it is already.
  bool startUpload(const adt::String& target) { return uploading_.insert(target).second; }
  void endUpload(const adt::String& target) { uploading_.erase(target); }

  std::shared_ptr<AgentVersion> knownRecord(const adt::String& archive, uint32_t version) const;
  std::shared_ptr<AgentVersion> makeRecord(uint32_t version, const adt::String& archive);
  void walk(const adt::String& directory, std::vector<std::shared_ptr<AgentVersion>>& out,
            std::map<uint32_t, bool>& seen);
  bool versionInUse(uint32_t version) const;
  bool archiveInUse(const adt::String& archive) const;
  ListEntry::Status detailStatus(const adt::String& path, const adt::String& name,
                                 adt::String& text) const;

  const adt::String home_;
  const adt::String updates_;
  const adt::String run_;
  std::vector<std::shared_ptr<AgentVersion>> versions_;
  // Records dropped by a rescan while an agent still ran from them.
  std::vector<std::weak_ptr<AgentVersion>> retired_;
  // Unpacking threads not yet joined, by version.
  std::map<uint32_t, std::unique_ptr<Deploying>> deployments_;
  uint32_t generation_ = 0;
  bool switchedToBackup_ = false;
  // Targets of the uploads in progress (one per target).
  std::set<adt::String> uploading_;
};

}  // namespace updates
