// One plain-text mail to a list of recipients over one SMTP conversation.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "adt/channel.h"
#include "adt/socket.h"
#include "adt/state_info.h"
#include "config/host_port.h"
#include "notify/smtp_callback.h"
#include "platform/clock.h"

namespace notify {

// What one mail delivery needs of the settings.
struct MailSettings {
  adt::String server;  // "host" or "host:port" (port 25 by default)
  adt::String account, login, password;
  std::vector<adt::String> recipients;
};

// A dispatcher channel that connects without blocking (the connect is started by connect()
// and completes when the socket becomes writable), then runs the client side of the SMTP
// dialogue as the server's replies arrive: EHLO, AUTH LOGIN when a login is set, MAIL FROM,
// one RCPT TO per recipient, DATA and QUIT. Only the last line of a multi-line reply is
// answered.
//
// The outcome goes to the linked callback exactly once: success after the server accepted the
// message; otherwise an error, together with one WARN line naming the server, the account and
// the login (never the password) and the transcript. Every way to end counts: a refused
// command, the server closing or resetting, a connect that fails, no progress within the
// time-out, or the channel being destroyed early.
//
// Bounds: a reply line of kMaxReplyLine bytes, kMaxPending unread reply bytes, a transcript
// of kMaxTrace bytes. Owned by the dispatcher once registered. Thread: the dispatcher's.
class SmtpMessage final : public adt::ClientChannel, public adt::StateInfo {
 public:
  static constexpr uint64_t kDefaultTimeoutMs = 60000;
  static constexpr size_t kMaxReplyLine = 4096;
  static constexpr size_t kMaxPending = 65536;
  static constexpr size_t kMaxTrace = 16384;

  // Throws adt::Exception "Не задан SMTP-сервер" for an empty server setting and "Неверно задан
  // SMTP-сервер" for one that is not "host" or "host:port". `timeoutMs` bounds the whole
  // conversation, counted from connect().
  SmtpMessage(const MailSettings& settings, SmtpCallBack* callback,
              platform::Clock& clock = platform::systemClock(),
              uint64_t timeoutMs = kDefaultTimeoutMs);
  ~SmtpMessage() override;

  void setSubject(const adt::String& subject);
  void setBody(const adt::String& body) { body_ = body; }
  // The name given in EHLO.
  void setHelloName(const adt::String& name);
  const config::HostPort& server() const { return server_; }
  CallBackLink& callback() { return callback_; }

  // Starts connecting to `address` (network byte order) on the server's port. Throws
  // adt::SocketException when the connect cannot even be started.
  void connect(uint32_t address);
  // Reports the failure (callback and one WARN line) and drops the connection.
  void fail(const adt::String& reason);

  adt::SocketHandle handle() const override { return socket_.handle(); }
  int onRead(adt::ChannelDispatcher& dispatcher) override;
  void onWrite() override;
  bool wantsWrite() override;
  void onIdle() override;
  void describe(adt::String& out) const override;

  // The mail as sent after DATA (headers, body, final dot), for a given local time.
  adt::String messageText(const platform::LocalTime& t, int utcOffsetMinutes) const;

 protected:
  void onData(adt::Buffer* buffer) override;

 private:
  void dialogue();
  void reply(int code, const adt::String& text);
  void sendPiece(const adt::String& piece, bool secret = false);
  void unexpected(const adt::String& text);
  void addTrace(const adt::String& entry);
  // Tells the callback and logs the failure once.
  void report(const adt::String& reason);

  adt::Socket socket_;
  platform::Clock& clock_;
  const uint64_t timeoutMs_;
  CallBackLink callback_;
  config::HostPort server_;
  adt::String account_, login_, password_, subject_, body_, helloName_;
  std::vector<adt::String> recipients_;
  size_t cursor_ = 0;
  int step_ = 0;
  bool connecting_ = false;
  bool reported_ = false;  // success or failure told
  uint64_t startedMs_ = 0;
  std::string pending_;  // received bytes not yet a complete line
  adt::String trace_;
};

}  // namespace notify
