#include "whoami_command.h"

#include <memory>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "amctl.h"
#include "client_calls.h"
#include "platform/negotiate.h"

namespace amctl {
namespace {

constexpr uint8_t kTagProxy = 130;
constexpr uint8_t kTagStep = 1;
constexpr uint8_t kTagAccount = 3;
constexpr uint8_t kTagToken = 202;
// A Kerberos exchange takes one round trip; SPNEGO may add one. More is a manager gone astray.
constexpr int kMaxSteps = 8;

struct Answer {
  adt::Bytes token;
  bool finished = false;
  std::string account;
};

Answer readAnswer(amclient::Connection& c) {
  const amclient::Reply reply = c.readUntil(kTagProxy);
  if (reply.failed) fail(kRefused, "AM отказал во входе: " + reply.errorText);
  const amclient::Element* e = reply.find(kTagProxy);
  if (!e) fail(kNoAnswer, "менеджер не ответил на запрос входа");
  Answer a;
  adt::TaggedBufferReader in(e->value);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    adt::Bytes value;
    in.readBytes(value);
    if (tag == kTagToken) a.token = std::move(value);
    if (tag == kTagAccount) {
      a.finished = true;
      a.account.assign(value.begin(), value.end());
    }
  }
  return a;
}

}  // namespace

std::string whoamiService(const std::vector<std::string>& args, const std::string& host) {
  std::string service = "host@" + host;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--negotiate") continue;  // the only way there is; accepted for clarity
    if (args[i] == "--service" && i + 1 < args.size()) {
      service = args[++i];
      continue;
    }
    fail(kUsage, "неизвестный аргумент " + args[i]);
  }
  return service;
}

Result whoamiCommand(const std::string& service, amclient::Connection& c) {
  std::unique_ptr<platform::NegotiateInitiator> initiator;
  std::string why;
  if (platform::openNegotiateInitiator(service, initiator, why) != platform::kSecOk) {
    fail(kUsage, "неверное имя службы " + service + ": " + why);
  }
  std::vector<uint8_t> token;
  int32_t status = initiator->step(nullptr, 0, token);
  for (int32_t step = 1; step <= kMaxSteps; ++step) {
    if (status != platform::kSecOk && status != platform::kSecContinueNeeded) {
      fail(kLoginFailed, "нет билета Kerberos для " + service + ": " + initiator->failureText());
    }
    adt::MemoryTaggedWriter nested;
    nested.writeInt(kTagStep, step);
    nested.writeTag(kTagToken, token.data(), token.size());
    c.sendCommand(kTagProxy, nested.toBytes());
    const Answer answer = readAnswer(c);
    if (status == platform::kSecContinueNeeded && !answer.token.empty()) {
      // The manager's answer proves it holds the service's key.
      status = initiator->step(answer.token.data(), answer.token.size(), token);
    }
    if (answer.finished) {
      if (status != platform::kSecOk) {
        fail(kRefused, "AM не подтвердил свою подлинность: " + initiator->failureText());
      }
      Result result;
      result.top.text("account", answer.account);
      return result;
    }
    if (status == platform::kSecOk) fail(kNoAnswer, "AM не завершил вход");
  }
  fail(kNoAnswer, "AM не завершил вход за " + std::to_string(kMaxSteps) + " шагов");
}

}  // namespace amctl
