// Test support: a real mail server (tests/servers/smtp_server.py on the system's Python with
// aiosmtpd) on 127.0.0.1 and a free port, recording what it accepts in a temporary directory.
// The destructor stops it, also when the test failed.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "child.h"

namespace testsupport {

// One accepted mail.
struct ReceivedMail {
  std::string login;  // the AUTH LOGIN user, "" without AUTH
  std::string from;
  std::vector<std::string> to;
  std::string data;  // the DATA section as received (transparency undone), Windows-1251 body
  // The value of header `name` (first occurrence, folded lines joined), "" when missing.
  std::string header(const std::string& name) const;
  // What follows the blank line after the headers.
  std::string body() const;
};

class MailServer {
 public:
  struct Options {
    std::string mode = "normal";  // normal, close, silent, slow
    std::string login, password;  // AUTH LOGIN required when login is set
    double delaySeconds = 0;      // slow: wait before the greeting
  };
  // With `tlsCert` and `tlsKey` (PEM files) the server offers STARTTLS and takes AUTH only
  // inside TLS.
  explicit MailServer(const Options& options, const std::string& tlsCert = "",
                      const std::string& tlsKey = "");
  ~MailServer();

  // False when the server did not come up.
  bool ready() const { return port_ != 0; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // The mails accepted so far, in order.
  std::vector<ReceivedMail> mails() const;
  // Waits until at least n mails were accepted.
  bool waitForMails(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

 private:
  TempDir dir_;
  std::unique_ptr<Child> child_;
  int port_ = 0;
};

// A throw-away self-signed certificate for 127.0.0.1 (openssl), written as cert.pem and key.pem
// into `dir`; false when it could not be made.
bool makeTestCertificate(const std::string& dir);

// "Subject" headers as RFC 2047 encoded words (UTF-8, Base64) decoded; other text unchanged.
std::string decodeHeader(const std::string& value);

}  // namespace testsupport
