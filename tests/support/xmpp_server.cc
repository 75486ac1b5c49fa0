#include "xmpp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace testsupport {
namespace {

constexpr const char* kProsody = "/usr/bin/prosody";
constexpr const char* kProsodyCtl = "/usr/bin/prosodyctl";

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::string userName() {
  const passwd* pw = getpwuid(getuid());
  return pw ? pw->pw_name : "root";
}

// A JSON string value (from the receiver's records) after `"key": `.
std::string jsonString(const std::string& line, const std::string& key) {
  size_t i = line.find("\"" + key + "\": \"");
  if (i == std::string::npos) return "";
  i += key.size() + 5;
  std::string out;
  for (; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    const char e = line[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        const unsigned v = std::stoul(line.substr(i + 1, 4), nullptr, 16);
        i += 4;
        if (v < 0x80) {
          out += static_cast<char>(v);
        } else if (v < 0x800) {
          out += static_cast<char>(0xC0 | v >> 6);
          out += static_cast<char>(0x80 | (v & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | v >> 12);
          out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
          out += static_cast<char>(0x80 | (v & 0x3F));
        }
        break;
      }
      default: out += e;
    }
  }
  return out;
}

}  // namespace

XmppServer::XmppServer(const std::vector<Account>& accounts) {
  if (!exists(kProsody) || !exists(kProsodyCtl)) {
    problem_ = "prosody is not installed (scripts/deps.sh installs it)";
    return;
  }
  port_ = freeTcpPort();
  const std::string user = userName();
  const std::string config = dir_.file("prosody.cfg.lua");
  std::ostringstream c;
  c << "prosody_user = \"" << user << "\"\n"
    << "prosody_group = \"" << user << "\"\n"
    << "daemonize = false\n"
    // Test machines often run the tests as root; prosody otherwise stops itself at once.
    << "run_as_root = true\n"
    << "pidfile = \"" << dir_.file("prosody.pid") << "\"\n"
    << "data_path = \"" << dir_.path() << "\"\n"
    << "certificates = \"" << dir_.path() << "\"\n"
    << "plugin_paths = { }\n"
    // Legacy logins, over the unencrypted loopback connection of the tests.
    << "modules_enabled = { \"roster\"; \"saslauth\"; \"legacyauth\"; \"disco\"; \"ping\"; }\n"
    << "modules_disabled = { \"s2s\"; \"offline\"; \"tls\"; }\n"
    << "c2s_require_encryption = false\n"
    << "allow_unencrypted_plain_auth = true\n"
    << "authentication = \"internal_hashed\"\n"
    << "storage = \"internal\"\n"
    << "interfaces = { \"127.0.0.1\" }\n"
    << "c2s_ports = { " << port_ << " }\n"
    << "c2s_direct_tls_ports = { }\n"
    << "legacy_ssl_ports = { }\n"
    << "s2s_ports = { }\n"
    << "http_ports = { }\n"
    << "https_ports = { }\n"
    << "log = { { levels = { min = \"debug\" }, to = \"file\", filename = \""
    << dir_.file("prosody.log") << "\" } }\n"
    << "VirtualHost \"" << kDomain << "\"\n";
  writeFile(config, c.str());
  for (const Account& a : accounts) {
    RunResult r = run({kProsodyCtl, "--config", config, "register", a.user, kDomain, a.password});
    if (r.exitCode != 0) {
      problem_ = "prosodyctl register " + a.user + " failed: " + r.output;
      return;
    }
  }
  child_ = std::make_unique<Child>(std::vector<std::string>{kProsody, "--config", config, "-F"});
  waitUntil([&] { return child_->exited() || accepts(port_); });
  ready_ = !child_->exited() && accepts(port_);
  if (!ready_) problem_ = "prosody did not start: " + child_->output() + log();
}

XmppServer::~XmppServer() {
  if (child_ && !child_->exited()) {
    child_->kill(SIGTERM);
    child_->waitExit(std::chrono::seconds(10));
  }
}

XmppReceiver::XmppReceiver(const XmppServer& server, const std::string& user,
                           const std::string& password) {
  child_ = std::make_unique<Child>(std::vector<std::string>{
      "/usr/bin/python3", std::string(AM_SOURCE_DIR) + "/tests/servers/xmpp_receiver.py",
      "--jid", user + "@" + XmppServer::kDomain, "--password", password, "--port",
      std::to_string(server.port()), "--record-file", dir_.file("received.jsonl"),
      "--ready-file", dir_.file("ready")});
}

XmppReceiver::~XmppReceiver() {
  child_->closeStdin();
  child_->waitExit(std::chrono::seconds(10));
}

bool XmppReceiver::waitReady(std::chrono::milliseconds limit) {
  return waitUntil([&] { return exists(dir_.file("ready")) || child_->exited(); }, limit) &&
         exists(dir_.file("ready"));
}

std::vector<ReceivedChat> XmppReceiver::messages() const {
  std::vector<ReceivedChat> out;
  std::istringstream lines(readFile(dir_.file("received.jsonl")));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.back() != '}') continue;  // a line still being written
    out.push_back({jsonString(line, "from"), jsonString(line, "body")});
  }
  return out;
}

bool XmppReceiver::waitForMessages(size_t n, std::chrono::milliseconds limit) const {
  return waitUntil([&] { return messages().size() >= n; }, limit);
}

}  // namespace testsupport
