#include "clients/rq_login.h"

#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/password_store.h"

namespace clients {
namespace {

constexpr uint8_t kTagSalt = 22;
constexpr uint8_t kTagChallenge = 24;
constexpr uint8_t kTagVersion = 83;
constexpr uint8_t kTagEnd = 9;
constexpr uint8_t kTagClientRevision = 78;
constexpr uint8_t kTagUserName = 20;
constexpr uint8_t kTagProof = 21;
constexpr uint8_t kTagSuccess = 10;
constexpr uint8_t kTagFailure = 11;

}  // namespace

RqLogin::RqLogin(Client& client, adt::NioTag& element) : Request(client) {
  if (element.size() != 0) userName_ = element.readString();
  PasswordStore& store = client.host().passwordStore();
  const PasswordRecord* record = store.find(userName_);
  // A name without a record still gets a well-formed salt, so the reply does not tell
  // whether the name is known.
  salt_ = record ? record->salt : makeNonce();
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
  if (element.tag() != kTagProof) adt::tagged::throwInvalidTag(kTagProof, element.tag());
  checkProof(element);
  return true;
}

void RqLogin::checkProof(adt::NioTag& element) {
  Digest received;
  element.readExact(received.data(), received.size());

  const int32_t level = levelOf(userName_);
  const PasswordRecord* record = client().host().passwordStore().find(userName_);
  // Without a record the user has the empty password, hashed with the salt sent.
  const Digest hash = record ? record->hash : passwordHash(userName_, salt_, adt::String());
  const Digest expected = loginProof(hash, challenge_);
  // The proof is computed and compared whether or not the name may log in, so the answer
  // takes the same time either way.
  const bool proofMatches = digestsEqual(expected, received);

  adt::MemoryTaggedWriter reply;
  if (level >= 0 && proofMatches) {
    client().setLoggedIn(userName_, level);
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
