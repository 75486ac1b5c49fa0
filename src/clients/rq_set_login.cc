#include "clients/rq_set_login.h"

#include <string>

#include "adt/exception.h"
#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/password_store.h"

namespace clients {
namespace {

constexpr uint8_t kTagUserName = 20;
constexpr uint8_t kTagHash = 21;
constexpr uint8_t kTagSalt = 22;
constexpr uint8_t kTagDone = 34;

}  // namespace

RqSetLogin::RqSetLogin(Client& client, adt::NioTag&) : Request(client) {}

bool RqSetLogin::onMessage(adt::NioTag& element) {
  static constexpr uint8_t kExpected[] = {kTagUserName, kTagHash, kTagSalt};
  if (element.tag() != kExpected[state_]) {
    adt::tagged::throwInvalidTag(kExpected[state_], element.tag());
  }
  switch (state_) {
    case 0:
      userName_ = element.readString();
      // A read-only user must not take over another account by setting its password.
      if (!client().loggedIn() || userName_ != client().userName()) client().checkPrivilege(1);
      if (!PasswordStore::isStorableName(userName_)) {
        throw adt::Exception("Недопустимое имя пользователя");
      }
      state_ = 1;
      return false;
    case 1:
      element.readExact(hash_.data(), hash_.size());
      state_ = 2;
      return false;
    default: {
      Salt salt;
      element.readExact(salt.data(), salt.size());
      client().host().passwordStore().update(userName_, salt, hash_);
      adt::MemoryTaggedWriter reply;
      reply.writeTag(kTagDone, nullptr, 0);
      client().send(reply);
      return true;
    }
  }
}

void RqSetLogin::describe(adt::String& out) const {
  out += "RqSetLogin(";
  out += std::to_string(state_);
  out += ")";
}

}  // namespace clients
