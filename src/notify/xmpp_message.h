// One instant message to each configured recipient over one client-to-server stream.
#pragma once
#include <cstdint>
#include <vector>

#include "notify/conversation.h"
#include "notify/xmpp_stream.h"

namespace notify {

// What one instant-message delivery needs of the settings.
struct XmppSettings {
  adt::String server;   // "host" or "host:port" (port 5222 by default)
  adt::String account;  // the sender's JID; its domain is the stream's "to"
  adt::String login;    // user name of the legacy login ("user" or "user@domain")
  adt::String password;
  std::vector<adt::String> recipients;  // bare JIDs, in order
};

// Queues the whole client side of the stream at once (header, legacy login, one chat message
// per recipient, stream close), then reads the server's answers until it ends its stream: the
// login refused, a message bounced, a stream error, the server closing early or no end within
// the time-out fail the delivery (callback and one WARN line with the server and the login,
// never the password); a stream that ends with the login accepted and nothing bounced is a
// success. The server's domain is taken from the account, else from the login, else from the
// server's host.
// Owned by the dispatcher once registered. Thread: the dispatcher's.
class XmppMessage final : public Conversation {
 public:
  static constexpr uint64_t kDefaultTimeoutMs = 60000;

  // Throws adt::Exception "Не задан XMPP-сервер" for an empty server setting and "Неверно задан
  // XMPP-сервер" for one that is not "host" or "host:port".
  XmppMessage(const XmppSettings& settings, const adt::String& body, const adt::String& subject,
              SmtpCallBack* callback = nullptr, platform::Clock& clock = platform::systemClock(),
              uint64_t timeoutMs = kDefaultTimeoutMs);
  ~XmppMessage() override;

  // The pieces queued, in order (the password as sent).
  const std::vector<adt::String>& pieces() const { return pieces_; }

  void describe(adt::String& out) const override { out += "XmppMessage()"; }

 protected:
  void onData(adt::Buffer* buffer) override;
  void logFailure(const adt::String& reason) override;
  int step() const override;

 private:
  void judge();

  adt::String login_, password_;
  std::vector<adt::String> pieces_;
  XmppReplyReader reader_;
};

}  // namespace notify
