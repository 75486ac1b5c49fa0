// The part every outgoing notification conversation shares: the server it talks to, a
// connect that never blocks, a bound on the whole conversation, a bounded transcript, and one
// report of the outcome to an optional callback.
#pragma once
#include <cstdint>

#include "adt/channel.h"
#include "adt/socket.h"
#include "adt/state_info.h"
#include "config/host_port.h"
#include "notify/smtp_callback.h"
#include "platform/clock.h"

namespace notify {

// A dispatcher channel to one notification server. connect() starts a non-blocking connect,
// completed when the socket becomes writable; from then on the conversation must end within
// the time-out, or it fails. The outcome is reported once: success(), or fail() with a reason
// (the callback is told and the concrete conversation logs one WARN line). A conversation
// destroyed before its outcome was known reports "доставка прервана".
// Owned by the dispatcher once registered. Thread: the dispatcher's.
class Conversation : public adt::ClientChannel, public adt::StateInfo {
 public:
  static constexpr size_t kMaxTrace = 16384;

  ~Conversation() override;

  const config::HostPort& server() const { return server_; }
  CallBackLink& callback() { return callback_; }
  bool reported() const { return reported_; }

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

 protected:
  // `name` ("SMTP", "XMPP") appears in the time-out text.
  // The concrete constructor links the callback (callback().attach) once nothing can throw,
  // so a conversation that could not be made never tells it anything.
  Conversation(const char* name, platform::Clock& clock, uint64_t timeoutMs);
  // Parses "host" or "host:port"; false for a malformed value.
  bool setServer(const adt::String& value, uint16_t defaultPort);

  // The connection ended (orderly close or reset by the server) before the outcome was known;
  // the default fails with "соединение закрыто сервером".
  virtual void onServerClosed();
  // Writes the WARN line of a failure: the reason, the server, whatever identifies the
  // account (never a password) and the transcript.
  virtual void logFailure(const adt::String& reason) = 0;
  // A step number for the time-out text.
  virtual int step() const = 0;

  // Reports "доставка прервана" when no outcome was reported; the concrete conversation's
  // destructor calls it (logFailure is gone by the time the base is destroyed).
  void abandon();
  // Tells the callback of the success, once.
  void succeed();
  void addTrace(const adt::String& entry);
  // A piece as the transcript shows it: control characters as "\<decimal code>".
  static adt::String traced(const adt::String& piece);
  const adt::String& trace() const { return trace_; }
  adt::String serverText() const;
  platform::Clock& clock() { return clock_; }

 private:
  void report(const adt::String& reason);

  const char* name_;
  adt::Socket socket_;
  platform::Clock& clock_;
  const uint64_t timeoutMs_;
  CallBackLink callback_;
  config::HostPort server_;
  bool connecting_ = false;
  bool reported_ = false;
  uint64_t startedMs_ = 0;
  adt::String trace_;
};

}  // namespace notify
