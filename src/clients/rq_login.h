// The challenge-response login (command 64). The password never travels: the manager sends
// the user's salt and a fresh challenge, the client answers MD5(MD5(name ":" salt ":"
// password) ":" challenge).
#pragma once
#include <cstdint>

#include "clients/password_hash.h"
#include "clients/request.h"

namespace clients {

// Held in the client's login slot (not its request slot) from the command element until the
// proof has been checked; the connection stays open either way. Main thread only.
class RqLogin final : public Request {
 public:
  // The reply to a wrong name or proof; the same for both, so that it reveals nothing.
  static constexpr const char* kFailureText = "Неверное имя пользователя или неправильный пароль";

  // Reads the user name from the element's value (when not empty) and sends element 22 = the
  // salt (the stored one, or a nonce for a name without a record), 24 = a fresh challenge,
  // 83 = the manager's version (four 32-bit integers: major, minor, build, revision) and an
  // empty element 9, as one block.
  RqLogin(Client& client, adt::NioTag& element);

  // Waiting for the name: element 78 sets the client revision (any number of times) and
  // element 20 names the user. Waiting for the proof: element 21 (16 bytes) is checked
  // against the configured users and the password store; success logs the client in and
  // replies element 10, failure replies element 11 with kFailureText. Any other element is a
  // reader error.
  //
  // A proof from an address that must still wait after earlier failures (LoginThrottle) is
  // checked only once the wait is over; after a failure the reply waits for the address's new
  // delay, so that a client learns the outcome only when it may try again. Every failure is
  // logged at WARN with the address and the name (cut), never with the proof.
  bool onMessage(adt::NioTag& element) override;

  // A proof waiting for its check or its failure reply: checks or replies once the wait is
  // over. True when the login is finished (its reply sent).
  bool poll(uint64_t nowMs);
  // The request's own poll() stays callable beside it.
  using Request::poll;
  bool waiting() const { return state_ == 2; }

  // "RqLogin(<state>)".
  void describe(adt::String& out) const override;

  int32_t clientRevision() const { return clientRevision_; }

 private:
  // The level `name` logs in with, or -1 when it may not log in.
  int32_t levelOf(const adt::String& name) const;
  // True when the proof matches a user who may log in; logs the client in then.
  bool checkProof();
  void sendOutcome(bool success);

  int state_ = 0;  // 0 waiting for the name, 1 waiting for the proof, 2 proof held (waiting)
  bool checked_ = false;
  uint64_t wakeAtMs_ = 0;
  Digest proof_{};
  int32_t clientRevision_ = 0;
  adt::String userName_;
  Salt salt_{};
  Salt challenge_{};
};

}  // namespace clients
