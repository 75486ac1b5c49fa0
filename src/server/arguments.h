// The command line: the parsed arguments, the program's identity, the choice of the one mode
// the process runs, and the paths derived from the program's own path.
#pragma once
#include <cstdint>
#include <string_view>

#include "adt/text.h"

namespace server {

// Program identity.
constexpr int kVersionMajor = 5;
constexpr int kVersionMinor = 2;
constexpr int kVersionBuild = 430;
constexpr uint32_t kVersion = adt::makeVersion(kVersionMajor, kVersionMinor, kVersionBuild);
constexpr const char* kTitle = "Orvo agent manager (learning edition)";

// The parsed command line, built once in main. The strings are main's own, not copied: an
// Arguments lives no longer than main's argv.
struct Arguments {
  // Number of arguments after the program path (argc - 1).
  int32_t count = 0;
  // argv[1] .. argv[argc - 1].
  const char* const* list = nullptr;
  // argv[0], the program path as typed.
  const char* program = "";

  Arguments() = default;
  Arguments(int32_t argCount, const char* const* argList, const char* programPath)
      : count(argCount), list(argList), program(programPath ? programPath : "") {}

  // True when any argument is byte for byte equal to `name` (case matters, position does not).
  bool has(std::string_view name) const;
  // The argument at `index` (0 is argv[1]), or "" past the end.
  const char* at(int32_t index) const;
};

// The modes of the process, one per run.
enum class Mode {
  kService,         // no arguments or --daemon
  kShowVersion,     // -v
  kConsole,         // --console
  kRegister,        // reg
  kUnregister,      // unreg
  kSafeUnregister,  // safe_unreg
  kStart,           // start
  kStop,            // stop
  kRestart,         // restart: the service restarts with its agents left running
  kCheckConf,       // --checkconf
  kCheckMail,       // --checkmail
  kHelpTopic,       // -h or -? with at least two arguments: the topic is the second one
  kHeapDump,        // --hdsplit or --hdinfo
  kHelp,            // anything else, -h or -? alone included
};

// The mode for a command line. Several words may be present: the first in the order of Mode
// wins (so --console beats --checkconf). The internal "#sigstop" and the flag --debug are
// checked by main itself; --debug combines with any mode.
Mode selectMode(const Arguments& args);

// "<title> v5.2.430 \n": the title, " v", the version, a trailing blank and a newline.
adt::String versionLine();

// The settings file beside the executable: its path with the extension replaced by "ini"
// (/opt/am/am -> /opt/am/am.ini).
adt::String settingsPath(const adt::String& executablePath);


}  // namespace server
