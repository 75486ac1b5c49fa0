#include "server/arguments.h"

#include <cstring>

#include "adt/exception.h"
#include "adt/file.h"

namespace server {

bool Arguments::has(std::string_view name) const {
  for (int32_t i = 0; i < count; ++i) {
    if (list[i] && name == list[i]) return true;
  }
  return false;
}

const char* Arguments::at(int32_t index) const {
  return index >= 0 && index < count && list[index] ? list[index] : "";
}

Mode selectMode(const Arguments& args) {
  if (args.count == 0 || args.has("--daemon")) return Mode::kService;
  if (args.has("-v")) return Mode::kShowVersion;
  if (args.has("--console")) return Mode::kConsole;
  if (args.has("reg")) return Mode::kRegister;
  if (args.has("unreg")) return Mode::kUnregister;
  if (args.has("safe_unreg")) return Mode::kSafeUnregister;
  if (args.has("start")) return Mode::kStart;
  if (args.has("stop")) return Mode::kStop;
  if (args.has("restart")) return Mode::kRestart;
  if (args.has("--checkconf")) return Mode::kCheckConf;
  if (args.has("--checkmail")) return Mode::kCheckMail;
  if ((args.has("-h") || args.has("-?")) && args.count >= 2) return Mode::kHelpTopic;
  if (args.has("--hdsplit") || args.has("--hdinfo")) return Mode::kHeapDump;
  return Mode::kHelp;
}

adt::String versionLine() {
  return adt::format("%s v%d.%d.%d %s\n", kTitle, kVersionMajor, kVersionMinor, kVersionBuild, "");
}

adt::String settingsPath(const adt::String& executablePath) {
  return adt::replaceExtension(executablePath, "ini");
}

namespace {

// The directory part of a path without its final separator; "" when there is none.
adt::String directoryPart(const adt::String& path) {
  const size_t cut = path.rfind('/');
  return cut == adt::String::npos ? adt::String() : path.substr(0, cut);
}

bool isAbsolute(const adt::String& path) {
  return path.size() >= 2 && (path[0] == '/' || path[0] == '\\' || path[1] == ':');
}

// The path "<dir>/<name>" resolved to a full path; a relative name with no directory is taken
// from the current directory.
adt::String resolveBeside(const adt::String& dir, const adt::String& name) {
  return adt::longPath(dir.empty() ? name : dir + "/" + name);
}

}  // namespace

adt::String logBasePath(const Arguments& args, const adt::String& programPath) {
  const adt::String programDir = directoryPart(programPath);
  // "--log" as the very last argument has no value and is ignored.
  for (int32_t i = 0; i + 1 < args.count; ++i) {
    if (std::strcmp(args.at(i), "--log") != 0) continue;
    adt::String path = args.at(i + 1);
    if (!isAbsolute(path)) path = resolveBeside(programDir, path);
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".log") == 0) {
      path.resize(path.size() - 4);
    }
    const adt::String dir = directoryPart(path);
    if (!dir.empty()) adt::createDirectory(dir);
    // A 4-character extension (the dot fifth from the end) goes too: "am.html" -> "am".
    if (path.size() > 5 && path[path.size() - 5] == '.' &&
        path.find('/', path.size() - 5) == adt::String::npos) {
      path.resize(path.size() - 5);
    }
    return path;
  }
  const adt::String logDir = resolveBeside(programDir, "log");
  try {
    adt::createDirectory(logDir);
  } catch (const adt::IOException&) {
    return adt::String();
  }
  const adt::String name = adt::fileNamePart(programPath);
  const adt::String withLog = adt::replaceExtension(name, "log");
  return logDir + "/" + withLog.substr(0, withLog.size() - 4);
}

}  // namespace server
