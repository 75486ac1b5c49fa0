#include "clients/rq_login.h"

#include "adt/log.h"
#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/agent_request.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/login_throttle.h"
#include "clients/password_store.h"

namespace clients {
namespace {

constexpr uint8_t kTagSalt = 22;
constexpr uint8_t kTagChallenge = 24;
constexpr uint8_t kTagVersion = 83;
constexpr uint8_t kTagClientRevision = 78;
constexpr uint8_t kTagUserName = 20;
constexpr uint8_t kTagProof = 21;
constexpr uint8_t kTagSuccess = 10;
constexpr uint8_t kTagFailure = 11;

}  // namespace

RqLogin::RqLogin(Client& client, adt::NioTag& element) : Request(client) {
  if (element.size() != 0) userName_ = element.readString();
  PasswordStore& store = client.host().passwordStore();
  // A name without a record gets a salt derived from it, as stable as a stored one, so the
  // reply does not tell whether the name is known.
  salt_ = store.saltFor(userName_);
  challenge_ = makeNonce();

  const uint32_t version = client.host().programVersion();
  uint8_t versionValue[16];
  adt::tagged::putLe32(versionValue, version >> 24);
  adt::tagged::putLe32(versionValue + 4, version >> 16 & 0xFF);
  adt::tagged::putLe32(versionValue + 8, version & 0xFFFF);
  adt::tagged::putLe32(versionValue + 12, 0);

  adt::MemoryTaggedWriter reply;
  reply.writeTag(kTagSalt, salt_.data(), salt_.size());
  reply.writeTag(kTagChallenge, challenge_.data(), challenge_.size());
  reply.writeTag(kTagVersion, versionValue, sizeof versionValue);
  reply.writeTag(kTagEnd, nullptr, 0);
  client.send(reply);
}

bool RqLogin::onMessage(adt::NioTag& element) {
  if (state_ == 0) {
    switch (element.tag()) {
      case kTagClientRevision:
        clientRevision_ = element.readInt();
        return false;
      case kTagUserName:
        userName_ = element.readString();
        state_ = 1;
        return false;
      default:
        adt::tagged::throwInvalidTag(kTagUserName, element.tag());
    }
  }
  if (state_ != 1 || element.tag() != kTagProof)
    adt::tagged::throwInvalidTag(kTagProof, element.tag());
  element.readExact(proof_.data(), proof_.size());
  state_ = 2;
  return poll(client().host().clock().nowMs());
}

bool RqLogin::poll(uint64_t nowMs) {
  if (state_ != 2 || nowMs < wakeAtMs_) return false;
  LoginThrottle& throttle = client().host().loginThrottle();
  const uint32_t address = clientAddress(client());
  if (checked_) {
    sendOutcome(false);
    return true;
  }
  const uint64_t readyAt = throttle.readyAt(address, nowMs);
  if (readyAt > nowMs) {
    wakeAtMs_ = readyAt;
    return false;
  }
  checked_ = true;
  if (checkProof()) {
    throttle.succeeded(address);
    sendOutcome(true);
    return true;
  }
  const uint64_t delay = throttle.failed(address, nowMs);
  adt::LogLine(adt::LOG_WARN) << "Неудачный вход: пользователь \"" << adt::clip(userName_)
                              << "\", адрес " << client().peerAddress() << ", ошибок подряд: "
                              << throttle.failures(address, nowMs) << ", ожидание " << delay
                              << " мс";
  wakeAtMs_ = nowMs + delay;
  if (delay > 0) return false;
  sendOutcome(false);
  return true;
}

bool RqLogin::checkProof() {
  const int32_t level = levelOf(userName_);
  const PasswordRecord* record = client().host().passwordStore().find(userName_);
  // Without a record the user has the empty password, hashed with the salt sent.
  const Digest hash = record ? record->hash : passwordHash(userName_, salt_, adt::String());
  const Digest expected = loginProof(hash, challenge_);
  // The proof is computed and compared whether or not the name may log in, so the answer
  // takes the same time either way.
  const bool proofMatches = digestsEqual(expected, proof_);
  if (level < 0 || !proofMatches) return false;
  client().setLoggedIn(userName_, level);
  return true;
}

void RqLogin::sendOutcome(bool success) {
  adt::MemoryTaggedWriter reply;
  if (success) {
    reply.writeTag(kTagSuccess, nullptr, 0);
  } else {
    reply.writeString(kTagFailure, kFailureText);
  }
  client().send(reply);
}

int32_t RqLogin::levelOf(const adt::String& name) const {
  const ClientHost& host = client().host();
  // Without a configured administrator the default one administers, whether or not the
  // settings also list that name.
  if (const std::optional<adt::String> admin = host.defaultAdmin(); admin && *admin == name) {
    return 1;
  }
  for (const config::UserConf& user : host.configuredUsers()) {
    if (user.name == name) return user.permission;
  }
  return -1;
}

void RqLogin::describe(adt::String& out) const {
  out += "RqLogin(";
  out += std::to_string(state_);
  out += ")";
}

}  // namespace clients
