#include "mail_server.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace testsupport {
namespace {

std::string decodeBase64(const std::string& in) {
  static const std::string digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    const size_t v = digits.find(c);
    if (v == std::string::npos) continue;
    acc = acc << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

}  // namespace

std::string decodeHeader(const std::string& value) {
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    const size_t start = value.find("=?UTF-8?B?", i);
    if (start == std::string::npos) {
      out += value.substr(i);
      break;
    }
    // Blanks between two encoded words are not part of the text.
    std::string between = value.substr(i, start - i);
    if (between.find_first_not_of(" \t\r\n") != std::string::npos || i == 0) out += between;
    const size_t end = value.find("?=", start + 10);
    if (end == std::string::npos) {
      out += value.substr(start);
      break;
    }
    out += decodeBase64(value.substr(start + 10, end - start - 10));
    i = end + 2;
  }
  return out;
}

std::string ReceivedMail::header(const std::string& name) const {
  const size_t headerEnd = data.find("\r\n\r\n");
  const std::string head = data.substr(0, headerEnd);
  std::istringstream lines(head);
  std::string line, value;
  bool found = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (found) {
      if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        value += line;
        continue;
      }
      break;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    bool same = key.size() == name.size();
    for (size_t k = 0; same && k < key.size(); ++k) {
      same = std::tolower(static_cast<unsigned char>(key[k])) ==
             std::tolower(static_cast<unsigned char>(name[k]));
    }
    if (same) {
      value = line.substr(colon + 1);
      found = true;
    }
  }
  return value;
}

std::string ReceivedMail::body() const {
  const size_t headerEnd = data.find("\r\n\r\n");
  return headerEnd == std::string::npos ? std::string() : data.substr(headerEnd + 4);
}

MailServer::MailServer(const Options& options, const std::string& tlsCert,
                       const std::string& tlsKey) {
  std::vector<std::string> argv = {
      "/usr/bin/python3", std::string(AM_SOURCE_DIR) + "/tests/servers/smtp_server.py",
      "--port-file",      dir_.file("port"),
      "--record-dir",     dir_.path(),
      "--mode",           options.mode,
      "--delay",          std::to_string(options.delaySeconds)};
  if (!tlsCert.empty()) {
    argv.insert(argv.end(), {"--tls-cert", tlsCert, "--tls-key", tlsKey});
  }
  if (!options.login.empty()) {
    argv.insert(argv.end(), {"--login", options.login, "--password", options.password});
  }
  child_ = std::make_unique<Child>(argv);
  waitUntil([&] {
    const std::string text = readFile(dir_.file("port"));
    if (!text.empty()) port_ = std::stoi(text);
    return port_ != 0 || child_->exited();
  });
}

MailServer::~MailServer() {
  if (child_) {
    child_->closeStdin();
    child_->waitExit(std::chrono::seconds(10));
  }
}

bool makeTestCertificate(const std::string& dir) {
  RunResult r = run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                     "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                     "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"});
  return r.exitCode == 0 && !readFile(dir + "/cert.pem").empty();
}

std::vector<ReceivedMail> MailServer::mails() const {
  std::vector<ReceivedMail> out;
  for (int n = 1;; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "mail-%03d", n);
    struct stat st {};
    if (stat(dir_.file(std::string(name) + ".env").c_str(), &st) != 0) break;
    ReceivedMail m;
    std::istringstream env(readFile(dir_.file(std::string(name) + ".env")));
    std::getline(env, m.login);
    std::getline(env, m.from);
    for (std::string line; std::getline(env, line);) m.to.push_back(line);
    m.data = readFile(dir_.file(std::string(name) + ".data"));
    out.push_back(m);
  }
  return out;
}

bool MailServer::waitForMails(size_t n, std::chrono::milliseconds limit) const {
  return waitUntil([&] { return mails().size() >= n; }, limit);
}

}  // namespace testsupport
