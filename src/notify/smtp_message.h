// One plain-text mail to a list of recipients over one SMTP conversation.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notify/conversation.h"
#include "notify/tls_client.h"

namespace notify {

// What one mail delivery needs of the settings.
struct MailSettings {
  adt::String server;  // "host" or "host:port" (port 25 by default)
  adt::String account, login, password;
  std::vector<adt::String> recipients;
  // Certificates trusted for STARTTLS (a PEM file); empty: the system's trust store.
  adt::String caFile;
};

// Runs the client side of the SMTP dialogue as the server's replies arrive: EHLO, STARTTLS
// when the server offers it (then EHLO again inside TLS), AUTH LOGIN when a login is set,
// MAIL FROM, one RCPT TO per recipient, DATA and QUIT. Only the last line of a multi-line
// reply is answered. Once the server has offered STARTTLS nothing more goes out in plain: a
// refused STARTTLS or a failed handshake (also an untrusted certificate) ends the delivery.
//
// The outcome goes to the linked callback exactly once: success after the server accepted the
// message; otherwise an error, together with one WARN line naming the server, the account and
// the login (never the password) and the transcript. Every way to end counts: a refused
// command, the server closing or resetting, a connect that fails, no progress within the
// time-out, or the channel being destroyed early.
//
// Bounds: a reply line of kMaxReplyLine bytes, kMaxPending unread reply bytes, a transcript
// of kMaxTrace bytes. Owned by the dispatcher once registered. Thread: the dispatcher's.
class SmtpMessage final : public Conversation {
 public:
  static constexpr uint64_t kDefaultTimeoutMs = 60000;
  static constexpr size_t kMaxReplyLine = 4096;
  static constexpr size_t kMaxPending = 65536;

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
  // Whether the conversation went over TLS (once STARTTLS succeeded).
  bool encrypted() const { return tls_ != nullptr && tlsReady_; }

  void describe(adt::String& out) const override;

  // The mail as sent after DATA (headers, body, final dot), for a given local time.
  adt::String messageText(const platform::LocalTime& t, int utcOffsetMinutes) const;

 protected:
  void onData(adt::Buffer* buffer) override;
  void onServerClosed() override;
  void logFailure(const adt::String& reason) override;
  int step() const override { return step_; }

 private:
  // Steps beyond those of the plain dialogue: STARTTLS sent, and the TLS handshake.
  static constexpr int kStepStartTls = 10;
  static constexpr int kStepHandshake = 11;

  void dialogue();
  void reply(int code, const adt::String& text);
  // The EHLO reply is complete: STARTTLS, AUTH LOGIN or MAIL FROM.
  void afterHello(int code, const adt::String& text);
  void startTls();
  // Feeds received ciphertext through TLS; the plain bytes go to pending_.
  void receiveTls(const char* data, size_t n);
  void flushTls();
  void sendPiece(const adt::String& piece, bool secret = false);

  MailSettings settings_;
  adt::String account_, login_, password_, subject_, body_, helloName_;
  std::vector<adt::String> recipients_;
  size_t cursor_ = 0;
  int step_ = 0;
  bool tlsOffered_ = false;  // the last EHLO reply named STARTTLS
  std::unique_ptr<TlsClient> tls_;
  bool tlsReady_ = false;
  std::string pending_;  // received (plain) bytes not yet a complete line
};

}  // namespace notify
