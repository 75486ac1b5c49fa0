#include "options.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace demo {
namespace {

enum Kind { kFlag, kText, kNumber, kVersion };

// One option: its name, how its value is read, the accepted range of a number, and where the
// value goes.
struct OptionRule {
  const char* name;
  Kind kind;
  uint64_t min;
  uint64_t max;
  void (*apply)(Options& o, const adt::String& text, uint64_t number);
};

constexpr uint64_t kIntMax = std::numeric_limits<int32_t>::max();
constexpr uint64_t kPortMax = 65535;
constexpr uint64_t kHour = 3600000;

const OptionRule kRules[] = {
    // Passed by the manager.
    {"--am-key", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.amKey = t; }},
    {"--worker-id", kNumber, 0, kIntMax,
     [](Options& o, const adt::String&, uint64_t n) { o.workerId = static_cast<int>(n); }},
    {"--ext-http", kNumber, 0, kPortMax,
     [](Options& o, const adt::String&, uint64_t n) { o.extHttpPort = static_cast<uint16_t>(n); }},
    {"--ext-https", kNumber, 0, kPortMax,
     [](Options& o, const adt::String&, uint64_t n) { o.extHttpsPort = static_cast<uint16_t>(n); }},
    {"--agentid", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.agentId = t; }},
    {"--serverid", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.serverId = t; }},
    {"--name", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.name = t; }},
    {"--update.path", kText, 0, 0,
     [](Options& o, const adt::String& t, uint64_t) { o.updatePath = t; }},
    {"--fqdn", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.fqdn = t; }},
    {"--cl_port", kNumber, 0, kPortMax,
     [](Options& o, const adt::String&, uint64_t n) { o.clientPort = static_cast<uint16_t>(n); }},
    {"--extra_jmem", kNumber, 0, kIntMax,
     [](Options& o, const adt::String&, uint64_t n) { o.extraMemory = static_cast<int>(n); }},
    {"--home.path", kText, 0, 0,
     [](Options& o, const adt::String& t, uint64_t) { o.homePath = t; }},
    {"--am-proc", kNumber, 0, std::numeric_limits<uint32_t>::max(),
     [](Options& o, const adt::String&, uint64_t n) { o.managerPid = static_cast<uint32_t>(n); }},
    {"--am-pipe", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.pipeName = t; }},
    {"--log", kText, 0, 0, [](Options& o, const adt::String& t, uint64_t) { o.logFile = t; }},
    {"--conf.path", kText, 0, 0,
     [](Options& o, const adt::String& t, uint64_t) { o.confPath = t; }},
    // The demo's own.
    {"--help", kFlag, 0, 0, [](Options& o, const adt::String&, uint64_t) { o.help = true; }},
    {"-h", kFlag, 0, 0, [](Options& o, const adt::String&, uint64_t) { o.help = true; }},
    {"--demo-no-report", kFlag, 0, 0,
     [](Options& o, const adt::String&, uint64_t) { o.noReport = true; }},
    {"--demo-crash-after", kNumber, 0, kIntMax,
     [](Options& o, const adt::String&, uint64_t n) { o.crashAfterMs = static_cast<int64_t>(n); }},
    {"--demo-exit-after", kNumber, 0, kIntMax,
     [](Options& o, const adt::String&, uint64_t n) { o.exitAfterMs = static_cast<int64_t>(n); }},
    {"--demo-output-bytes", kNumber, 0, 1ull << 32,
     [](Options& o, const adt::String&, uint64_t n) { o.outputBytes = n; }},
    {"--demo-ignore-stop", kFlag, 0, 0,
     [](Options& o, const adt::String&, uint64_t) { o.ignoreStop = true; }},
    {"--demo-no-ping", kFlag, 0, 0,
     [](Options& o, const adt::String&, uint64_t) { o.noPing = true; }},
    {"--demo-stuck-task", kFlag, 0, 0,
     [](Options& o, const adt::String&, uint64_t) { o.stuckTask = true; }},
    {"--demo-version", kVersion, 0, 0, nullptr},
    {"--demo-slow-start", kNumber, 0, kHour,
     [](Options& o, const adt::String&, uint64_t n) { o.slowStartMs = static_cast<uint32_t>(n); }},
    {"--demo-telemetry-ms", kNumber, 10, kHour,
     [](Options& o, const adt::String&, uint64_t n) { o.telemetryMs = static_cast<uint32_t>(n); }},
    {"--demo-silent-after", kNumber, 0, kIntMax,
     [](Options& o, const adt::String&, uint64_t n) { o.silentAfterMs = static_cast<int64_t>(n); }},
    {"--demo-clients", kNumber, 0, 1000000,
     [](Options& o, const adt::String&, uint64_t n) { o.clients = static_cast<uint32_t>(n); }},
    {"--demo-gc-percent", kNumber, 0, 100,
     [](Options& o, const adt::String&, uint64_t n) { o.gcPercent = static_cast<uint32_t>(n); }},
    {"--demo-print-fds", kFlag, 0, 0,
     [](Options& o, const adt::String&, uint64_t) { o.printFds = true; }},
    {"--demo-exit-code", kNumber, 0, 255,
     [](Options& o, const adt::String&, uint64_t n) { o.exitCode = static_cast<int>(n); }},
};

bool parseNumber(std::string_view text, uint64_t min, uint64_t max, uint64_t& out) {
  uint64_t v = 0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, v);
  if (text.empty() || r.ec != std::errc() || r.ptr != end || v < min || v > max) return false;
  out = v;
  return true;
}

// "a.b", "a.b.c" or "a.b.c.d": major and minor up to 255, build up to 65535.
bool parseVersion(const adt::String& text, uint32_t (&version)[4]) {
  const uint64_t limits[4] = {255, 255, 65535, std::numeric_limits<uint32_t>::max()};
  uint32_t parts[4] = {0, 0, 0, 0};
  size_t count = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view part(text.data() + start,
                                (dot == adt::String::npos ? text.size() : dot) - start);
    uint64_t v = 0;
    if (count == 4 || !parseNumber(part, 0, limits[count], v)) return false;
    parts[count++] = static_cast<uint32_t>(v);
    if (dot == adt::String::npos) break;
    start = dot + 1;
  }
  if (count < 2) return false;
  std::memcpy(version, parts, sizeof parts);
  return true;
}

const OptionRule* findRule(std::string_view name) {
  for (const OptionRule& s : kRules) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

}  // namespace

adt::String Options::displayName() const {
  if (!name.empty()) return name;
  if (!agentId.empty()) return agentId;
  return "demo-agent";
}

adt::String Options::versionText() const {
  adt::String v = adt::format("%u.%u.%u", version[0], version[1], version[2]);
  if (version[3]) v += adt::format(".%u", version[3]);
  return v;
}

bool parseOptions(const std::vector<adt::String>& args, Options& out, adt::String& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const adt::String& word = args[i];
    if (word.size() < 2 || word[0] != '-') {
      out.ignored.push_back(word);
      continue;
    }
    const size_t eq = word.find('=');
    const std::string_view name(word.data(), eq == adt::String::npos ? word.size() : eq);
    const OptionRule* rule = findRule(name);
    if (!rule) {
      out.ignored.push_back(word);
      continue;
    }
    if (rule->kind == kFlag) {
      if (eq != adt::String::npos) {
        error = adt::format("option %s takes no value", rule->name);
        return false;
      }
      rule->apply(out, adt::String(), 0);
      continue;
    }
    adt::String value;
    if (eq != adt::String::npos) {
      value = word.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = adt::format("option %s needs a value", rule->name);
      return false;
    }
    uint64_t number = 0;
    if (rule->kind == kNumber && !parseNumber(value, rule->min, rule->max, number)) {
      error = adt::format("option %s: \"%s\" is not a number from %llu to %llu", rule->name,
                          value.c_str(), static_cast<unsigned long long>(rule->min),
                          static_cast<unsigned long long>(rule->max));
      return false;
    }
    if (rule->kind == kVersion) {
      if (!parseVersion(value, out.version)) {
        error = adt::format("option %s: \"%s\" is not a version a.b.c", rule->name, value.c_str());
        return false;
      }
      continue;
    }
    rule->apply(out, value, number);
  }
  return true;
}

adt::String helpText() {
  return "demo-agent: an agent program for trying out and testing the agent manager.\n"
         "\n"
         "It reports its start to the manager at 127.0.0.1:$AM_AGENT_PORT (default 5002) over\n"
         "AMP, sends telemetry, answers pings and requests, takes over the HTTP listening\n"
         "sockets the manager hands to it and serves a page there, greets desktop clients on\n"
         "--cl_port (127.0.0.1), and ends on a stop request or SIGTERM.\n"
         "\n"
         "Options passed by the manager (a value follows as the next word or after '='):\n"
         "  --am-key <key> --worker-id <n> --ext-http <port> --ext-https <port>\n"
         "  --agentid <id> --serverid <id> --name <name> --update.path <dir> --fqdn <name>\n"
         "  --cl_port <port> --extra_jmem <n> --home.path <dir> --am-proc <pid>\n"
         "  --am-pipe <name>   write the output to the FIFO <name> under /tmp/.am-pipe\n"
         "  --log <file> --conf.path <file>\n"
         "Unknown options are ignored.\n"
         "\n"
         "Misbehaviour for tests:\n"
         "  --demo-no-report          never send the start report (and so no telemetry)\n"
         "  --demo-crash-after <ms>   exit with code 3 after <ms> milliseconds\n"
         "  --demo-exit-after <ms>    end by itself (exit code 0) after <ms> milliseconds\n"
         "  --demo-output-bytes <n>   write <n> bytes of numbered lines to standard output at\n"
         "                            start, blocking while the pipe is full, then the line\n"
         "                            \"bulk output done\"\n"
         "  --demo-ignore-stop        ignore stop requests (codes 3 and 19) and SIGTERM\n"
         "  --demo-no-ping            never answer pings\n"
         "  --demo-stuck-task         report a task whose pulse never moves (op 5000)\n"
         "  --demo-version <a.b.c>    the version reported (default 5.2.400)\n"
         "  --demo-slow-start <ms>    wait <ms> milliseconds before the start report\n"
         "  --demo-telemetry-ms <ms>  telemetry interval (default 5000)\n"
         "  --demo-silent-after <ms>  send no telemetry from <ms> milliseconds after the start on\n"
         "  --demo-clients <n>        report <n> more connected clients than there are\n"
         "  --demo-gc-percent <n>     report <n>% of the time as spent in garbage collection\n"
         "  --demo-print-fds          print the inherited open descriptors at start:\n"
         "                            one line \"fds: 0 1 2 ...\"\n"
         "  --demo-exit-code <n>      exit code after a stop request or SIGTERM (default 0)\n"
         "  --help                    this text\n";
}

}  // namespace demo
