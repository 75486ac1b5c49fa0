// Mail to the administrators from the console (command 102): the command element's value is
// the text, element 1 the subject, element 9 sends.
#pragma once
#include "clients/request.h"
#include "notify/smtp_callback.h"

namespace clients {

// Needs the administration level (the command table says so). Passes subject and text to the
// server's notification dispatch with itself as the callback, then waits (holding the
// connection) for the outcome: element 9 (empty) on success, element 13 = the error text
// otherwise. The outcome arrives within the mail conversation's own time-out. Main thread only.
class RqSendMail final : public Request, public notify::SmtpCallBack {
 public:
  RqSendMail(Client& client, adt::NioTag& element);
  ~RqSendMail() override = default;

  // Element 1: the subject. Element 9: send. Any other element is a reader error.
  bool onMessage(adt::NioTag& element) override;
  // True once the outcome has been replied.
  bool poll() override;
  bool holdsConnection(uint64_t nowMs) override;
  // "RqSendMessage(<state>)".
  void describe(adt::String& out) const override;

  void onSuccess() override;
  void onError(const char* message) override;

 private:
  enum State { kCollecting = 0, kSending = 1, kDone = 2 };
  State state_ = kCollecting;
  adt::String text_, subject_;
};

}  // namespace clients
