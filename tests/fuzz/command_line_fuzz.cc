// Command lines of running processes as the reattach scan reads them: the raw argument list
// (NUL-ended arguments, or a rewritten title), joined, searched for an agent's options and
// split again. Splitting a joined list gives back the same arguments.
#include <cstdint>
#include <string>
#include <vector>

#include "agents/agent_reattach.h"
#include "fuzz_support.h"
#include "platform/process.h"

namespace {

// The key of this installation's agents.
constexpr uint64_t kKey = 1234567;
// The system hands out at most this much of another process's argument list at once.
constexpr size_t kMaxArgumentBytes = 128 * 1024;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxArgumentBytes) return 0;
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::string line;
  if (!platform::commandLineFromArgumentBytes(raw, line)) {
    if (!raw.empty()) fuzz::broken("a non-empty argument list refused");
    return 0;
  }
  agents::FoundAgent found;
  agents::parseAgentCommandLine(line, kKey, found);
  const std::vector<std::string> args = platform::splitCommandLine(line);
  if (!args.empty()) agents::sameProgram(args[0], "/opt/am/bin/demo-agent");

  if (!raw.empty() && raw.back() == '\0') raw.pop_back();
  if (raw.find('\0') != std::string::npos) {
    // Arguments as the system keeps them: what the joined line splits into.
    std::vector<std::string> original;
    size_t start = 0;
    for (size_t end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1) {
      original.push_back(raw.substr(start, end - start));
    }
    original.push_back(raw.substr(start));
    if (args != original) fuzz::broken("a joined command line splits into other arguments");
  }
  return 0;
}
