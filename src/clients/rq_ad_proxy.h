// Windows integrated authentication through the manager (command 130): the client's security
// tokens are handed to the "Negotiate" package until it knows the client, then the client is
// told its account name. This does not log the connection in.
#pragma once
#include <cstdint>
#include <memory>

#include "clients/request.h"
#include "platform/negotiate.h"

namespace clients {

// Every message both ways is one element 130 holding a nested stream. From the client:
// 1 = its step number (32-bit), then 202 = its token. To the client: 1 = the manager's step
// count, 202 = the package's token (when there is one), and with the last message 3 = the
// account name. Owned by the client; main thread only.
class RqADProxy final : public Request {
 public:
  static constexpr uint8_t kTag = 130;

  // Opens a conversation with the host's package (failure: adt::Exception
  // "AcquireCredentialsHandle: securityStatus=<status>") and runs the command element as the
  // first step.
  RqADProxy(Client& client, adt::NioTag& element);
  ~RqADProxy() override;

  // Runs the next step; any element but 130 is a reader error. Errors: "TAG_ADA_ATHORIZATION_
  // DATA not found" (no step number), "no>stepCount" (a step number beyond the manager's),
  // "securityStatus0=<status>" (the conversation is over), "securityStatus1=<status>" (the
  // package refused the token). Where the package says why, its words follow in parentheses.
  bool onMessage(adt::NioTag& element) override;
  // Finished once the account name has been sent.
  bool poll() override { return finished_; }
  // An unfinished conversation may stay silent up to the longer idle limit.
  bool holdsConnection(uint64_t) override { return !finished_; }

  // "RqADProxy: <step count>".
  void describe(adt::String& out) const override;

 private:
  void step(adt::NioTag& element);

  std::unique_ptr<platform::NegotiateContext> context_;
  int32_t lastStatus_ = platform::kSecContinueNeeded;
  int32_t stepCount_ = 1;
  uint32_t requirements_ = 0;
  bool finished_ = false;
};

}  // namespace clients
