// A password change (command 65): the client sends the user name, the new hash and the salt
// it chose; the manager stores them and saves the password store. The password itself never
// travels.
#pragma once
#include "clients/password_hash.h"
#include "clients/request.h"

namespace clients {

// Needs a login. A user changes their own password; changing another user's password takes
// the administration level. Main thread only.
class RqSetLogin final : public Request {
 public:
  // The command element's value is ignored.
  RqSetLogin(Client& client, adt::NioTag& element);

  // In order: element 20 = the user name, 21 = the new hash (16 bytes), 22 = the new salt (8
  // bytes); then the record is stored and saved and element 34 replied. Any other element is
  // a reader error. A name the store file cannot hold is refused with "Недопустимое имя
  // пользователя"; another user's name without the administration level with
  // "Привилегий недостаточно" (0x1002).
  bool onMessage(adt::NioTag& element) override;

  // "RqSetLogin(<state>)".
  void describe(adt::String& out) const override;

 private:
  int state_ = 0;  // 0 waiting for the name, 1 for the hash, 2 for the salt
  adt::String userName_;
  Digest hash_{};
};

}  // namespace clients
