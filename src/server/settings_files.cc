#include "server/settings_files.h"

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "platform/error.h"

namespace server {
namespace {

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

}  // namespace

SettingsFile settingsFileKind(const adt::String& name) {
  if (name == "ini") return SettingsFile::kIni;
  if (name == "conf") return SettingsFile::kConf;
  if (name == "db.conf") return SettingsFile::kDb;
  throw adt::Exception("Неподдерживаемый файл настроек");
}

std::string settingsFilePath(const std::string& iniPath, SettingsFile kind, bool forWriting) {
  switch (kind) {
    case SettingsFile::kIni:
      return iniPath;
    case SettingsFile::kConf: {
      const std::string conf = directoryOf(iniPath) + "dor.conf";
      if (forWriting || adt::exists(conf)) return conf;
      const std::string conf64 = directoryOf(iniPath) + "dor64.conf";
      return adt::exists(conf64) ? conf64 : conf;
    }
    case SettingsFile::kDb:
      return directoryOf(iniPath) + "db.conf";
  }
  return iniPath;
}

uint32_t contentStamp(std::string_view bytes) { return adt::adler32(bytes.data(), bytes.size()); }

const std::string& exampleSettingsText() {
  static const std::string kText =
      "#id=server-id\n"
      "\n"
      "#mail.server=mail.example.org\n"
      "#mail.account=am@example.org\n"
      "#mail.login=mailer\n"
      "#mail.password=***\n"
      "#admin.mail=admin@example.org\n"
      "#admin.mail=operator@example.org\n"
      "\n"
      "#xmpp.server=xmpp.example.org\n"
      "#xmpp.account=am@xmpp.example.org\n"
      "#xmpp.login=jabberer\n"
      "#xmpp.password=***\n"
      "#admin.xmpp=admin@xmpp.example.org\n"
      "#admin.xmpp=operator@xmpp.example.org\n"
      "\n"
      "#[agent]\n"
      "#name=Agent1\n"
      "#args=--login ORACLE //host/instance user password\n";
  return kText;
}

std::string backupPath(const std::string& path, int k) { return path + ".~" + std::to_string(k); }

SettingsText readSettingsFile(const std::string& path) {
  SettingsText out;
  if (!adt::exists(path)) return out;
  const adt::Bytes bytes = adt::readWholeFile(path);
  out.exists = true;
  out.bytes.assign(bytes.begin(), bytes.end());
  out.stamp = contentStamp(out.bytes);
  return out;
}

void storeSettingsFile(const std::string& path, std::string_view bytes) {
  const bool existed = adt::exists(path);
  // The new content, complete and on the disk, before anything else changes.
  const std::string staged = path + ".~new";
  if (!bytes.empty()) adt::writeFileAtomically(staged, bytes.data(), bytes.size(), true);
  try {
    if (existed) {
      for (int k = kBackups - 1; k >= 1; --k) {
        if (adt::exists(backupPath(path, k))) {
          adt::renameOverwrite(backupPath(path, k), backupPath(path, k + 1));
        }
      }
      adt::copyOverwrite(path, backupPath(path, 1));
    }
    if (bytes.empty()) {
      if (existed && !adt::deleteFile(path)) {
        adt::throwIOError(platform::lastError(), "\"" + path + "\"");
      }
      return;
    }
    adt::renameOverwrite(staged, path);
  } catch (...) {
    if (!bytes.empty()) adt::deleteFile(staged);
    throw;
  }
}

}  // namespace server
