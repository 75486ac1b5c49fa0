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

}  // namespace server
