// The settings text reader: lines, section headers, key lines, and the key dispatch of each
// section.
#include <algorithm>
#include <cstdint>
#include <string>

#include "config/settings.h"

namespace config {
namespace {

// Splits UTF-8 text into logical lines: CR/LF runs end a line, "#" starts a comment, leading
// spaces are dropped, empty lines are skipped, and a line longer than kMaxLineChars characters
// continues as the next line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool next(std::string& line) {
    while (pos_ < text_.size()) {
      line.clear();
      while (pos_ < text_.size() && isBreak(text_[pos_])) ++pos_;
      size_t chars = 0;
      bool comment = false;
      while (pos_ < text_.size() && !isBreak(text_[pos_])) {
        const char c = text_[pos_];
        if (!comment && c == '#') comment = true;
        if (comment) {
          ++pos_;
          continue;
        }
        // Count characters, not bytes, so a long line never splits a UTF-8 sequence.
        const bool startsChar = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (startsChar && chars == kMaxLineChars) break;
        line.push_back(c);
        chars += startsChar;
        ++pos_;
      }
      const size_t first = line.find_first_not_of(' ');
      if (first == std::string::npos) continue;
      line.erase(0, first);
      return true;
    }
    return false;
  }

 private:
  static bool isBreak(char c) { return c == '\r' || c == '\n'; }

  std::string_view text_;
  size_t pos_ = 0;
};

std::string_view trimSpaces(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

uint16_t low16(std::string_view value) { return static_cast<uint16_t>(readInt(value)); }

void setCommon(CommonSettings& c, const std::string& key, std::string_view value) {
  const adt::String text(value);
  if (key == "ip_mask") {
    c.masks.parse(value, kMaskAllow);
  } else if (key == "ban_mask") {
    c.masks.parse(value, kMaskBan);
  } else if (key == "verbose") {
    c.verbose = true;  // presence counts, whatever the value
  } else if (key == "trace") {
    c.trace = true;
  } else if (key == "id") {
    c.id = text;
  } else if (key == "welcome") {
    c.welcome = text;
  } else if (key == "long_operation_timeout") {
    c.longOperationTimeoutMs = int64_t{readInt(value)} * 60000;  // written in minutes
  } else if (key == "mail.server") {
    c.mailServer = text;
  } else if (key == "mail.account") {
    c.mailAccount = text;
  } else if (key == "mail.login") {
    c.mailLogin = text;
  } else if (key == "mail.password") {
    c.mailPassword = text;
  } else if (key == "admin.mail") {
    c.adminMail.push_back(text);
  } else if (key == "xmpp.server") {
    c.xmppServer = text;
  } else if (key == "xmpp.account") {
    c.xmppAccount = text;
  } else if (key == "xmpp.login") {
    c.xmppLogin = text;
  } else if (key == "xmpp.password") {
    c.xmppPassword = text;
  } else if (key == "admin.xmpp") {
    c.adminXmpp.push_back(text);
  } else if (key == "http_port") {
    c.httpPort = low16(value);
  } else if (key == "fqdn") {
    c.fqdn = text;
  } else if (key == "warn.memory.percent") {
    c.warnMemoryPercent = readInt(value);
  } else if (key == "warn.gc.percent") {
    c.warnGcPercent = readInt(value);
  } else if (key == "__leave_hanged_agents") {
    c.leaveHangedAgents = true;
  } else if (key == "client_ports") {
    c.clientPorts = parsePortRange(value);
  } else if (key == "client_port") {
    if (const uint16_t port = low16(value); port != 0) c.clientPort = port;
  } else if (key == "agent_port") {
    if (const uint16_t port = low16(value); port != 0) c.agentPort = port;
  }
}

// Both counts are at most the largest int; their sum stops there too (the start-up's capacity
// check then refuses that many processes with its own message).
int32_t processSum(int32_t workers, int32_t heavy) {
  const int64_t sum = static_cast<int64_t>(workers) + heavy;
  return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

void setAgent(AgentConf& a, const std::string& key, std::string_view value) {
  const adt::String text(value);
  if (key == "id") {
    a.id = text;
  } else if (key == "name") {
    a.name = text;
  } else if (key == "cmd") {
    a.cmd = text;
  } else if (key == "dir") {
    a.dir = text;
  } else if (key == "description") {
    a.description = text;
  } else if (key == "icon") {
    a.icon = text;
  } else if (key == "args") {
    a.args = text;
  } else if (key == "redirect") {
    a.redirect = text;
  } else if (key == "application") {
    a.application.push_back(text);
  } else if (key == "ip_mask") {
    a.masks.parse(value, kMaskAllow);
  } else if (key == "ban_mask") {
    a.masks.parse(value, kMaskBan);
  } else if (key == "run_at_least_once") {
    a.runAtLeastOnce = readInt(value) != 0;
  } else if (key == "http_port") {
    a.httpPort = low16(value);
  } else if (key == "https_port") {
    a.httpsPort = low16(value);
  } else if (key == "client_port") {
    a.clientPort = low16(value);
  } else if (key == "client_ports") {
    a.clientPorts = parsePortRange(value);
  } else if (key == "server_name") {
    parseServerNames(value, a.serverName);
  } else if (key == "sched") {
    parseSched(value, a.sched);
  } else if (key == "restart_time") {
    a.restartTime.parse(value);
  } else if (key == "ver") {
    parseVersionBounds(value, a.verMin, a.verMax);
  } else if (key == "worker_processes") {
    a.workerProcesses = std::max(readInt(value), 1);
    a.totalProcesses = processSum(a.workerProcesses, a.heavyProcesses);
  } else if (key == "heavy_processes") {
    a.heavyProcesses = std::max(readInt(value), 0);
    a.totalProcesses = processSum(a.workerProcesses, a.heavyProcesses);
  } else if (key == "heavy_extra_mem") {
    a.heavyExtraMem = std::max(readInt(value), 0);
  }
}

void setUser(UserConf& u, const std::string& key, std::string_view value) {
  // Role and permission words are compared exactly; anything else leaves the permission.
  if (key == "name") {
    u.name = adt::String(value);
  } else if (key == "role") {
    if (value == "user") u.permission = 0;
    if (value == "admin") u.permission = 1;
  } else if (key == "permissions") {
    if (value == "ro") u.permission = 0;
    if (value == "rw") u.permission = 1;
  }
}

enum class Section { kNone, kCommon, kAgent, kUser };

}  // namespace

void Settings::parse(std::string_view text) {
  if (text.empty()) {
    // Nothing to read (a missing file): the fields start-up depends on go back to defaults.
    const CommonSettings defaults;
    common.masks.clear();
    common.verbose = defaults.verbose;
    common.trace = defaults.trace;
    common.id = defaults.id;
    common.agentPort = defaults.agentPort;
    common.clientPort = defaults.clientPort;
    common.httpPort = defaults.httpPort;
    common.clientPorts = defaults.clientPorts;
    return;
  }
  LineReader reader(text);
  std::string line;
  Section section = Section::kNone;
  while (reader.next(line)) {
    if (line[0] == '[') {
      const size_t close = line.find(']');
      // A broken header ends the parse; what was read before it stays.
      if (close == std::string::npos) return;
      const std::string_view name = trimSpaces(std::string_view(line).substr(1, close - 1));
      if (adt::equalsIgnoreCase(name, "common")) {
        section = Section::kCommon;
      } else if (adt::equalsIgnoreCase(name, "agent")) {
        section = Section::kAgent;
        agents.emplace_back();
      } else if (adt::equalsIgnoreCase(name, "user")) {
        section = Section::kUser;
        users.emplace_back();
      } else {
        section = Section::kNone;  // "sheduling" and unknown sections: keys ignored
      }
      continue;
    }
    const size_t eq = line.find('=');
    const std::string_view whole(line);
    const std::string key = lowerAscii(trimSpaces(whole.substr(0, eq)));
    const std::string_view value =
        eq == std::string::npos ? std::string_view() : trimSpaces(whole.substr(eq + 1));
    switch (section) {
      case Section::kCommon:
        setCommon(common, key, value);
        break;
      case Section::kAgent:
        setAgent(agents.back(), key, value);
        break;
      case Section::kUser:
        setUser(users.back(), key, value);
        break;
      case Section::kNone:
        break;
    }
  }
}

}  // namespace config
