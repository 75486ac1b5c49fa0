// The settings files a client may read and replace: the manager's own settings ("ini"), the
// agents' shared settings ("conf": dor.conf, read from dor64.conf while dor.conf is missing)
// and the database settings ("db.conf"), all beside the manager's settings file. Their content
// stamp, the text offered for a missing settings file, and the write that keeps five backups.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "adt/text.h"

namespace server {

enum class SettingsFile { kIni, kConf, kDb };

// "ini", "conf" or "db.conf" (compared exactly); anything else throws adt::Exception
// "Неподдерживаемый файл настроек".
SettingsFile settingsFileKind(const adt::String& name);

// Where the file of `kind` lives for the settings file `iniPath`. Reading "conf" falls back to
// dor64.conf while dor.conf does not exist; writing always targets dor.conf.
std::string settingsFilePath(const std::string& iniPath, SettingsFile kind, bool forWriting);

// Adler-32 of the bytes: 1 for an empty text. A missing file has the stamp 0.
uint32_t contentStamp(std::string_view bytes);

// The commented example a client gets in place of a missing manager settings file.
const std::string& exampleSettingsText();

// Backup `k` (1 newest .. kBackups oldest) of `path`: "<path>.~<k>".
constexpr int kBackups = 5;
std::string backupPath(const std::string& path, int k);

// The file's bytes and stamp; `exists` false (stamp 0, no bytes) when there is no such file.
// A file that exists but cannot be read throws adt::IOException naming it.
struct SettingsText {
  bool exists = false;
  std::string bytes;
  uint32_t stamp = 0;
};
SettingsText readSettingsFile(const std::string& path);

// Replaces the file with `bytes` (an empty text deletes it), keeping the previous content as
// backup 1 and shifting the older backups up to backup 5. The new content is written and forced
// to the disk beside the file first; only then are the backups rotated and the new file put in
// place, so a failed write leaves the file and its backups as they were. Throws
// adt::IOException with the file operation that failed.
void storeSettingsFile(const std::string& path, std::string_view bytes);

}  // namespace server
