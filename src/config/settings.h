// The settings model: the common settings, one AgentConf per [agent] section and the [user]
// list, as read from the settings file (Windows-1251 on disk, UTF-8 here). Plain values: copy
// them freely; not thread-safe (the server thread owns them).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "adt/text.h"
#include "config/masks.h"
#include "config/schedule.h"

namespace config {

// A `client_ports` range; -1 where not given.
struct PortRange {
  int32_t min = -1;
  int32_t max = -1;
  bool operator==(const PortRange&) const = default;
};

// `server_name`: the virtual server names an agent is listed under, or any.
struct ServerNameFilter {
  std::vector<adt::String> names;
  bool any = true;
  bool operator==(const ServerNameFilter&) const = default;
};

// The [common] section. Assigning one to another copies every common field, the mask list and
// both recipient lists included (what start-up and reconfiguration do with a parsed file).
struct CommonSettings {
  MaskList masks;                            // ip_mask, ban_mask
  bool verbose = false;                      // set by the key's presence
  bool trace = false;                        // set by the key's presence
  adt::String id;                            // identifier of this application server
  adt::String welcome;                       // greeting for web users
  int64_t longOperationTimeoutMs = 2400000;  // written in minutes
  adt::String mailServer, mailAccount, mailLogin, mailPassword;
  std::vector<adt::String> adminMail;
  adt::String xmppServer, xmppAccount, xmppLogin, xmppPassword;
  std::vector<adt::String> adminXmpp;
  uint16_t httpPort = 0;  // 0 = no web listener
  adt::String fqdn;
  int32_t warnMemoryPercent = 75;
  int32_t warnGcPercent = 50;
  bool leaveHangedAgents = false;  // __leave_hanged_agents: suspend, not terminate
  PortRange clientPorts;
  uint16_t clientPort = 5001;
  uint16_t agentPort = 5002;
};

// One [agent] section.
struct AgentConf {
  adt::String id, name, cmd, dir, description, icon, args, redirect;
  std::vector<adt::String> application;
  MaskList masks;  // ip_mask, ban_mask
  bool runAtLeastOnce = false;
  uint16_t httpPort = 0;
  uint16_t httpsPort = 0;
  uint16_t clientPort = 0;  // 0 = allocate at start
  PortRange clientPorts;
  ServerNameFilter serverName;
  Schedule sched;
  RestartTimes restartTime;
  uint32_t verMin = 0;  // packed versions: major << 24 | minor << 16 | build
  uint32_t verMax = 0xFFFFFFFF;
  int32_t workerProcesses = 1;  // at least 1
  int32_t heavyProcesses = 0;   // at least 0
  int32_t heavyExtraMem = 0;    // at least 0
  int32_t totalProcesses = 1;   // workerProcesses + heavyProcesses
};

// One [user] section.
struct UserConf {
  adt::String name;
  int32_t permission = 0;  // 0 read-only, 1 read-write
};

// One parse of a settings text: built with all defaults, then filled by load() or parse().
class Settings {
 public:
  CommonSettings common;
  std::vector<AgentConf> agents;  // file order
  std::vector<UserConf> users;    // file order

  // Reads the file at `path` (Windows-1251) and parses it. A missing file parses as an empty
  // text; a file that exists but cannot be read throws adt::IOException with the system's text.
  void load(const std::string& path);

  // Parses UTF-8 settings text into this object. Never fails: unknown sections and keys are
  // ignored, and a malformed section header ends the parse silently.
  void parse(std::string_view text);
};

// The longest line the reader keeps, in characters; the rest of a longer line is a new line.
constexpr size_t kMaxLineChars = 5119;

// Lenient decimal reading: leading white space, optional sign, digits; the rest ignored; no
// digits reads as 0. Saturates at the int32 limits.
int32_t readInt(std::string_view text);

// `client_ports`: the first two runs of digits ("6000:6100", "6000-6100"); missing ones stay -1.
PortRange parsePortRange(std::string_view value);

// `ver`: "lower-upper" or one text for both; each side takes up to three numbers (major, minor,
// build) over its default (lower 0.0.0, upper all components maximal).
void parseVersionBounds(std::string_view value, uint32_t& lower, uint32_t& upper);

// `server_name`: "*" means any; runs of ASCII letters and digits are names; no name means any.
void parseServerNames(std::string_view value, ServerNameFilter& filter);

// The catalogue of known keys handed to clients: common keys, then agent keys, then user keys,
// each qualified by its section ("common.ip_mask", "agent.id", "user.name", ...).
const std::vector<adt::String>& knownKeys();

// Appends `conf` as an [agent] section (UTF-8, each line ended by "\r\n"): "[agent]", then the
// values that are set: id, name, cmd, dir, description, application, ip_mask, ban_mask,
// run_at_least_once, server_name, http_port, https_port, client_port, sched, restart_time.
void writeAgentSection(const AgentConf& conf, adt::String& out);

}  // namespace config
