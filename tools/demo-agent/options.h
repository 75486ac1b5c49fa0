// The demo agent's command line: the options the manager passes to every agent (all of them
// read, most only reported) and the demo's own options that make it misbehave for tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "adt/text.h"

namespace demo {

struct Options {
  // Passed by the manager.
  adt::String amKey;  // the installation key, kept as written
  int workerId = 0;
  uint16_t extHttpPort = 0;
  uint16_t extHttpsPort = 0;
  adt::String agentId;
  adt::String serverId;
  adt::String name;
  adt::String updatePath;
  adt::String fqdn;
  uint16_t clientPort = 0;
  int extraMemory = 0;
  adt::String homePath;
  uint32_t managerPid = 0;
  adt::String pipeName;  // --am-pipe: FIFO name under the pipe root
  adt::String logFile;
  adt::String confPath;

  // The demo's own.
  bool help = false;
  bool noReport = false;
  int64_t crashAfterMs = -1;  // -1: never
  int64_t exitAfterMs = -1;   // -1: never; ends by itself (code 0) after this long
  uint64_t outputBytes = 0;   // written to standard output at start, in blocking writes
  bool ignoreStop = false;
  bool noPing = false;
  bool stuckTask = false;
  uint32_t version[4] = {5, 2, 400, 0};
  uint32_t slowStartMs = 0;
  uint32_t telemetryMs = 5000;
  int64_t silentAfterMs = -1;  // -1: telemetry never stops
  uint32_t clients = 0;        // clients pretended on top of the real connections
  uint32_t gcPercent = 0;      // share of time reported as spent in garbage collection
  bool printFds = false;
  int exitCode = 0;

  // Words that are no option of ours (unknown options and their values), in order.
  std::vector<adt::String> ignored;

  // The name shown in the page and logs: --name, else --agentid, else "demo-agent".
  adt::String displayName() const;
  // "a.b.c" (".d" when the fourth number is not 0).
  adt::String versionText() const;
};

// Reads argv[1..]. Options take their value as the next word or after "=" ("--name=x").
// Unknown options are ignored. Returns false with `error` set for a missing or malformed value.
bool parseOptions(const std::vector<adt::String>& args, Options& out, adt::String& error);

// The --help text.
adt::String helpText();

}  // namespace demo
