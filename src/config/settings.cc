#include "config/settings.h"

#include <climits>

#include "adt/exception.h"
#include "platform/error.h"
#include "platform/file.h"

namespace config {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlnum(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Reads the next run of digits at or after `pos` (other characters skipped), saturating.
bool nextNumber(std::string_view s, size_t& pos, int64_t& n) {
  while (pos < s.size() && !isDigit(s[pos])) ++pos;
  if (pos >= s.size()) return false;
  n = 0;
  while (pos < s.size() && isDigit(s[pos])) {
    n = n * 10 + (s[pos] - '0');
    if (n > INT32_MAX) n = INT32_MAX;
    ++pos;
  }
  return true;
}

// One version bound: up to three numbers replace major, minor and build of `bound`.
uint32_t readVersion(std::string_view s, uint32_t bound) {
  uint32_t major = bound >> 24, minor = bound >> 16 & 0xFF, build = bound & 0xFFFF;
  size_t pos = 0;
  int64_t n = 0;
  if (nextNumber(s, pos, n)) major = static_cast<uint32_t>(n) & 0xFF;
  if (nextNumber(s, pos, n)) minor = static_cast<uint32_t>(n) & 0xFF;
  if (nextNumber(s, pos, n)) build = static_cast<uint32_t>(n) & 0xFFFF;
  return major << 24 | minor << 16 | build;
}

// Owns a file handle for the duration of a read.
class FileGuard {
 public:
  explicit FileGuard(platform::FileHandle h) : h_(h) {}
  ~FileGuard() { platform::closeFile(h_); }
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;

 private:
  platform::FileHandle h_;
};

[[noreturn]] void throwSystemError(int code) {
  throw adt::IOException(adt::systemErrorMessage("", code));
}

}  // namespace

int32_t readInt(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  int64_t n = 0;
  while (pos < text.size() && isDigit(text[pos])) {
    n = n * 10 + (text[pos] - '0');
    if (n > int64_t{INT32_MAX} + 1) n = int64_t{INT32_MAX} + 1;
    ++pos;
  }
  if (negative) n = -n;
  if (n > INT32_MAX) n = INT32_MAX;
  return static_cast<int32_t>(n);
}

PortRange parsePortRange(std::string_view value) {
  PortRange range;
  size_t pos = 0;
  int64_t n = 0;
  if (nextNumber(value, pos, n)) range.min = static_cast<int32_t>(n);
  if (nextNumber(value, pos, n)) range.max = static_cast<int32_t>(n);
  return range;
}

void parseVersionBounds(std::string_view value, uint32_t& lower, uint32_t& upper) {
  const size_t dash = value.find('-');
  const std::string_view low = dash == std::string_view::npos ? value : value.substr(0, dash);
  const std::string_view high = dash == std::string_view::npos ? value : value.substr(dash + 1);
  lower = readVersion(low, 0);
  upper = readVersion(high, 0xFFFFFFFF);
}

void parseServerNames(std::string_view value, ServerNameFilter& filter) {
  filter.any = false;
  bool appended = false;
  size_t pos = 0;
  while (pos < value.size()) {
    if (value[pos] == '*') {
      filter.any = true;
      ++pos;
    } else if (isAlnum(value[pos])) {
      const size_t begin = pos;
      while (pos < value.size() && isAlnum(value[pos])) ++pos;
      filter.names.emplace_back(value.substr(begin, pos - begin));
      appended = true;
    } else {
      ++pos;
    }
  }
  if (!appended) filter.any = true;
}

const std::vector<adt::String>& knownKeys() {
  // clang-format off
  static const std::vector<adt::String> kKeys = {
      "common.ip_mask", "common.ban_mask", "common.id", "common.welcome",
      "common.long_operation_timeout", "common.mail.server", "common.mail.account",
      "common.mail.login", "common.mail.password", "common.admin.mail", "common.xmpp.server",
      "common.xmpp.account", "common.xmpp.login", "common.xmpp.password", "common.admin.xmpp",
      "common.http_port", "common.fqdn", "common.warn.memory.percent", "common.warn.gc.percent",
      "common.client_port", "common.client_ports", "common.agent_port",
      "common.__leave_hanged_agents",
      "agent.id", "agent.name", "agent.cmd", "agent.dir", "agent.description",
      "agent.worker_processes", "agent.heavy_processes", "agent.heavy_extra_mem", "agent.icon",
      "agent.application", "agent.ip_mask", "agent.ban_mask", "agent.run_at_least_once",
      "agent.server_name", "agent.http_port", "agent.https_port", "agent.client_port",
      "agent.client_ports", "agent.sched", "agent.redirect", "agent.args", "agent.ver",
      "user.name", "user.permissions"};
  // clang-format on
  return kKeys;
}

void Settings::load(const std::string& path) {
  const platform::FileHandle h =
      platform::openFile(path, platform::kAccessRead, platform::kOpenExisting);
  if (h == platform::kNoFile) {
    const int code = platform::lastError();
    if (!platform::pathExists(path)) {
      parse({});
      return;
    }
    throwSystemError(code);
  }
  FileGuard guard(h);
  const int64_t size = platform::fileSize(h);
  if (size < 0) throwSystemError(platform::lastError());
  std::string bytes(static_cast<size_t>(size), '\0');
  size_t done = 0;
  // The size may change under us: read until the end rather than trusting it.
  for (;;) {
    if (done == bytes.size()) bytes.resize(bytes.size() + 4096);
    const int64_t n = platform::readFile(h, bytes.data() + done, bytes.size() - done);
    if (n < 0) throwSystemError(platform::lastError());
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  parse(adt::fromCp1251(bytes));
}

void writeAgentSection(const AgentConf& conf, adt::String& out) {
  const auto line = [&out](const char* key, const adt::String& value) {
    out += key;
    out += '=';
    out += value;
    out += "\r\n";
  };
  const auto textLine = [&line](const char* key, const adt::String& value) {
    if (!value.empty()) line(key, value);
  };
  const auto portLine = [&line](const char* key, uint16_t port) {
    if (port != 0) line(key, std::to_string(port));
  };
  out += "[agent]\r\n";
  textLine("id", conf.id);
  textLine("name", conf.name);
  textLine("cmd", conf.cmd);
  textLine("dir", conf.dir);
  textLine("description", conf.description);
  // All names on one line, as the agent-settings reply shows them to people.
  if (!conf.application.empty()) {
    adt::String names;
    for (const adt::String& app : conf.application) {
      if (!names.empty()) names += ", ";
      names += app;
    }
    line("application", names);
  }
  textLine("ip_mask", conf.masks.text(kMaskAllow));
  textLine("ban_mask", conf.masks.text(kMaskBan));
  if (conf.runAtLeastOnce) line("run_at_least_once", "1");
  if (!conf.serverName.names.empty()) {
    adt::String names;
    for (const adt::String& name : conf.serverName.names) names += name + " ";
    if (conf.serverName.any) names += "*";
    line("server_name", names);
  }
  portLine("http_port", conf.httpPort);
  portLine("https_port", conf.httpsPort);
  portLine("client_port", conf.clientPort);
  for (const SchedEntry& entry : conf.sched) line("sched", entry.text);
  line("restart_time", conf.restartTime.text());
}

}  // namespace config
