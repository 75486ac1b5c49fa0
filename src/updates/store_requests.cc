// The update store's file operations for the administration console: paths, listing, upload,
// delete, bad marks and the manager's own update.
#include <algorithm>
#include <memory>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "updates/distribution_name.h"
#include "updates/file_tree.h"
#include "updates/update_info.h"
#include "updates/update_store.h"
#include "updates/upload.h"
#include "updates/zip_reader.h"

namespace updates {
namespace {

constexpr const char* kBadSuffix = ".bad";
// The manager's program files that an update replaces; the old ones are kept as backups.
constexpr const char* kProgramFiles[] = {"am"};
constexpr const char* kBackupSuffix = ".bak";

bool startsWith(const adt::String& text, const adt::String& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const adt::String& text, const adt::String& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool inside(const adt::String& path, const adt::String& directory) {
  return startsWith(path, directory + "/");
}

}  // namespace

bool UpdateStore::isRoot(const adt::String& clientPath) {
  return clientPath.empty() || clientPath == "/" || clientPath == "\\";
}

adt::String UpdateStore::resolve(const adt::String& clientPath) const {
  auto refuse = [&clientPath]() -> adt::Exception {
    return adt::Exception("Недопустимый путь: \"" + adt::clip(clientPath) + "\"");
  };
  // No drive prefixes or stream names; both separators count, so "..\" climbs like "../" and is
  // caught below.
  if (clientPath.find('\0') != adt::String::npos || clientPath.find(':') != adt::String::npos)
    throw refuse();
  adt::String relative = clientPath;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  relative.erase(0, relative.find_first_not_of('/'));
  const size_t slash = relative.find('/');
  const adt::String first = relative.substr(0, slash);
  if (first == "agent" || first == "client") relative.insert(first.size(), "s");
  const adt::String full = adt::longPath(updates_ + "/" + relative);
  if (full != updates_ && !inside(full, updates_)) throw refuse();
  return full;
}

ListEntry::Status UpdateStore::detailStatus(const adt::String& path, const adt::String& name,
                                            adt::String& text) const {
  if (inside(path, agentsDirectory())) {
    const auto record = std::find_if(versions_.begin(), versions_.end(),
                                     [&](const auto& r) { return r->archivePath() == path; });
    if (record == versions_.end()) return ListEntry::kUnusable;
    if ((*record)->state() == AgentVersion::kFailed) {
      text = "Ошибка распаковки файла";
      return ListEntry::kUnpackFailed;
    }
    return ListEntry::kNoStatus;
  }
  if (inside(path, managerUpdatesDirectory()) && !compatibilityError(name).empty())
    return ListEntry::kUnusable;
  return ListEntry::kNoStatus;
}

std::vector<ListEntry> UpdateStore::list(const adt::String& clientPath, bool details) const {
  std::vector<ListEntry> out;
  if (isRoot(clientPath)) {
    for (const char* area : {"agent", "client", "am"}) {
      ListEntry entry;
      entry.name = area;
      entry.directory = true;
      out.push_back(entry);
    }
    return out;
  }
  const adt::String directory = resolve(clientPath);
  adt::DirectoryIterator it(directory);
  adt::String name;
  for (;;) {
    const adt::DirectoryIterator::Kind kind = it.next(name);
    if (kind == adt::DirectoryIterator::kEnd) break;
    ListEntry entry;
    entry.name = name;
    entry.directory = kind == adt::DirectoryIterator::kDirectory;
    const adt::String path = directory + "/" + name;
    if (!entry.directory) {
      platform::LocalTime modified;
      if (platform::fileModifiedLocalTime(path, modified))
        entry.modified = platform::toFractionalDays(modified);
      if (details) entry.status = detailStatus(path, name, entry.statusText);
    }
    out.push_back(std::move(entry));
  }
  std::sort(out.begin(), out.end(),
            [](const ListEntry& a, const ListEntry& b) { return a.name < b.name; });
  return out;
}

std::unique_ptr<Upload> UpdateStore::beginUpload(const adt::String& clientPath) {
  if (!endsWithIgnoreCase(clientPath, ".zip")) throw adt::Exception("неверный тип файла");
  const adt::String target = resolve(clientPath);
  makeDirectories(parentPath(target));
  return std::unique_ptr<Upload>(new Upload(*this, target));
}

void UpdateStore::remove(const adt::String& clientPath) {
  const adt::String path = resolve(clientPath);
  if (archiveInUse(path))
    throw adt::Exception("Обновление \"" + clientPath + "\" используется одним из агентов");
  if (!adt::deleteFile(path)) adt::throwIOError(platform::lastError(), "\"" + path + "\"");
  rescan();
}

void UpdateStore::markBad(const adt::String& clientPath) {
  const adt::String path = resolve(clientPath);
  if (!endsWith(path, kBadSuffix)) adt::rename(path, path + kBadSuffix);
  rescan();
}

void UpdateStore::unmarkBad(const adt::String& clientPath) {
  const adt::String path = resolve(clientPath);
  if (endsWith(path, kBadSuffix)) adt::rename(path, path.substr(0, path.size() - 4));
  rescan();
}

void UpdateStore::applyManagerUpdate(const adt::String& clientPath, uint32_t runningVersion,
                                     uint32_t defaultUpdater) {
  const adt::String archive = resolve(clientPath);
  if (!inside(archive, managerUpdatesDirectory())) throw adt::Exception("Apply on non-am update");
  const adt::String problem = compatibilityError(adt::fileNamePart(archive));
  if (!problem.empty()) throw adt::Exception(problem);

  // Read ".updateinfo" alone, in a work directory of its own, before anything changes.
  const adt::String work = run_ + "/.apply";
  removeTree(work);
  makeDirectories(work);
  unzip(archive, work, [](const adt::String& name) { return name == kUpdateInfoName; });
  adt::String infoText;
  const adt::String infoPath = work + "/" + kUpdateInfoName;
  if (platform::pathExists(infoPath)) {
    const adt::Bytes raw = adt::readWholeFile(infoPath);
    infoText =
        adt::fromCp1251(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
  }
  removeTree(work);
  const UpdateInfo info = parseUpdateInfo(infoText, defaultUpdater);
  if (!info.unreadableUpdater.empty())
    throw adt::Exception("Для установки этого обновления требуется am >= " +
                         info.unreadableUpdater);
  if (info.updater > runningVersion)
    throw adt::Exception("Для установки этого обновления требуется am >= " +
                         adt::versionText(info.updater));

  // The running program keeps its backup; a copy stays under the old name until the archive
  // replaces it, so the manager can start again even from an update that does not carry it.
  if (!switchedToBackup_) {
    for (const char* name : kProgramFiles) {
      const adt::String path = home_ + "/" + name;
      if (!platform::pathExists(path)) continue;
      adt::log(adt::LOG_INFO, adt::String("switching ") + name + " to backup");
      const adt::String backup = path + kBackupSuffix;
      adt::renameOverwrite(path, backup);
      adt::copy(backup, path);
    }
    switchedToBackup_ = true;
  }

  adt::log(adt::LOG_INFO, "unpacking " + archive + " into " + home_);
  ZipFilter filter;
  if (!info.extract.empty()) {
    filter = [&info](const adt::String& name) {
      return std::find(info.extract.begin(), info.extract.end(), name) != info.extract.end();
    };
  }
  unzip(archive, home_, filter);
}

}  // namespace updates
