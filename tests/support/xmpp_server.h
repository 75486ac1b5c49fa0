// Test support: a real XMPP server (prosody) with a throw-away configuration and data
// directory on 127.0.0.1 and a free port, and a receiving client (tests/servers/
// xmpp_receiver.py on the system's Python with slixmpp) that records the messages it gets.
// Destructors stop what they started, also when the test failed.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child.h"

namespace testsupport {

class XmppServer {
 public:
  static constexpr const char* kDomain = "test.local";
  struct Account {
    std::string user, password;
  };
  // Creates the accounts (user@test.local) with prosodyctl, then starts prosody with legacy
  // (iq:auth) logins allowed over the unencrypted loopback connection.
  explicit XmppServer(const std::vector<Account>& accounts);
  ~XmppServer();

  // False when prosody is missing or did not come up; problem() says why.
  bool ready() const { return ready_; }
  const std::string& problem() const { return problem_; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // prosody's own log (for failure messages).
  std::string log() const { return readFile(dir_.file("prosody.log")); }

 private:
  TempDir dir_;
  std::unique_ptr<Child> child_;
  int port_ = 0;
  bool ready_ = false;
  std::string problem_;
};

// One received instant message.
struct ReceivedChat {
  std::string from;  // bare JID
  std::string body;
};

class XmppReceiver {
 public:
  XmppReceiver(const XmppServer& server, const std::string& user, const std::string& password);
  ~XmppReceiver();

  // Waits until the client is online (or gave up).
  bool waitReady(std::chrono::milliseconds limit = std::chrono::seconds(30));
  std::vector<ReceivedChat> messages() const;
  bool waitForMessages(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  std::string output() { return child_->output(); }

 private:
  TempDir dir_;
  std::unique_ptr<Child> child_;
};

}  // namespace testsupport
