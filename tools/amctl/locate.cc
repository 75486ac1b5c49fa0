#include "locate.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "adt/exception.h"
#include "amctl.h"
#include "client_calls.h"

namespace amctl {
namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

}  // namespace

std::optional<uint16_t> clientPortOf(const std::string& iniPath) {
  std::ifstream in(iniPath, std::ios::binary);
  if (!in) return std::nullopt;
  std::string line, section = "common";
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      section = trim(line.substr(1, line.find(']') - 1));
      continue;
    }
    if (section != "common") continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || trim(line.substr(0, eq)) != "client_port") continue;
    long long port = 0;
    if (parseNumber(trim(line.substr(eq + 1)), port) && port > 0 && port <= 65535) {
      return static_cast<uint16_t>(port);
    }
  }
  return std::nullopt;
}

uint16_t defaultPort(const std::string& settings) {
  if (const char* env = std::getenv("AM_CLIENT_PORT"); env && *env) {
    long long port = 0;
    if (!parseNumber(env, port) || port <= 0 || port > 65535) {
      fail(kUsage, std::string("AM_CLIENT_PORT: неверный номер порта ") + env);
    }
    return static_cast<uint16_t>(port);
  }
  if (!settings.empty()) {
    if (!std::ifstream(settings)) fail(kUsage, "не удалось прочитать файл настроек " + settings);
    return clientPortOf(settings).value_or(5001);
  }
  if (const char* path = std::getenv("PATH")) {
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
      if (dir.empty()) continue;
      std::error_code ec;
      const std::filesystem::path am = std::filesystem::path(dir) / "am";
      if (!std::filesystem::is_regular_file(am, ec)) continue;
      // The first am on PATH is the manager meant (a link: where it leads); its settings beside
      // it say the port.
      const std::filesystem::path real = std::filesystem::canonical(am, ec);
      return clientPortOf(((ec ? am : real).parent_path() / "am.ini").string()).value_or(5001);
    }
  }
  // Where the package installs the manager.
  return clientPortOf("/opt/am/am.ini").value_or(5001);
}

bool knownCommand(const std::string& command) {
  static const std::set<std::string> kCommands = {
      "agents",     "status",     "start",     "connect", "restart",   "info",     "stop",
      "lock",       "unlock",     "settings",  "threads", "statistics", "processes",
      "kill-client", "kill-clients", "proxy",  "mail",    "log",       "logs",     "stats",
      "console",    "broadcast",  "telemetry", "passwd",  "updates",
      "whoami"};
  return kCommands.count(command) != 0;
}

std::string commandHelp(const std::string& fullHelp, const std::string& command) {
  std::stringstream in(fullHelp);
  std::string line, out;
  bool inCommand = false;
  while (std::getline(in, line)) {
    // A command's lines start with two blanks and its name; its continuation lines with more.
    const bool starts = line.rfind("  " + command, 0) == 0 &&
                        (line.size() == command.size() + 2 ||
                         std::string(" ,").find(line[command.size() + 2]) != std::string::npos);
    const bool continuation = inCommand && line.rfind("    ", 0) == 0;
    inCommand = starts || continuation;
    if (inCommand) out += line + "\n";
  }
  return out;
}

std::string connectionFailure(const std::string& host, uint16_t port, const std::exception& e) {
  std::string why = e.what();
  if (dynamic_cast<const adt::HostNotFoundSocketException*>(&e)) {
    why = "адрес не найден";
  } else if (const auto* s = dynamic_cast<const adt::SocketException*>(&e)) {
    switch (s->code()) {
      case 10061:
        why = "соединение отклонено (AM не запущен или слушает другой порт)";
        break;
      case 10060:
        why = "время ожидания истекло";
        break;
      case 10065:
      case 10051:
        why = "адрес недоступен";
        break;
      default:
        break;
    }
  }
  return "не удалось подключиться к AM " + host + ":" + std::to_string(port) + ": " + why;
}

}  // namespace amctl
