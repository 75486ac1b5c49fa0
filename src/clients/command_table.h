// The commands of the binary client protocol: which command element tag selects what, whether
// it runs as a request object or a handler function, and the privilege it needs. The layout is
// fixed; implementations are bound to it as the modules that provide them are built in, so a
// command whose implementation is missing is still known (and answered with an error rather
// than taken for a protocol violation).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "adt/nio_tagged_reader.h"

namespace clients {

class Client;
class Request;

enum class CommandKind {
  kLogin,    // tag 64: the login, kept in the client's login slot
  kRequest,  // a Request object made from the element, then started
  kHandler,  // a function run once with the element; the connection then closes
};

// Builds the request from its command element (its value is the first argument). May throw:
// parse errors are reported before the privilege check.
using RequestFactory = std::function<std::unique_ptr<Request>(Client&, adt::NioTag&)>;
using CommandHandler = std::function<void(Client&, adt::NioTag&)>;

struct Command {
  // The level given to Client::checkPrivilege, or this for commands open before login.
  static constexpr int32_t kNoCheck = -1;

  uint8_t tag = 0;
  const char* name = nullptr;  // null: not a command
  CommandKind kind = CommandKind::kRequest;
  int32_t level = kNoCheck;
  RequestFactory make;     // kRequest, once bound
  CommandHandler handler;  // kHandler, once bound

  bool known() const { return name != nullptr; }
  bool implemented() const {
    return kind == CommandKind::kLogin ||
           (kind == CommandKind::kRequest ? bool(make) : bool(handler));
  }
};

// A value: copy it, bind implementations, hand it to clients. Not thread-safe while binding.
class CommandTable {
 public:
  static constexpr uint8_t kFirstTag = 14;
  static constexpr uint8_t kLastTag = 130;

  // The full layout with no implementation bound.
  CommandTable();

  // The command of `tag`, or null when the tag selects none (a protocol violation).
  const Command* find(uint8_t tag) const;

  // Binds the implementation of a request or handler command. Throws std::logic_error when
  // the tag is not a command of that kind (a programming error).
  void bindRequest(uint8_t tag, RequestFactory make);
  void bindHandler(uint8_t tag, CommandHandler handler);

 private:
  Command& entry(uint8_t tag, CommandKind kind);

  std::array<Command, 256> commands_;
};

// The table of the running manager: the layout with every command bound whose implementation
// is built in. Built once, on first use; constant afterwards.
const CommandTable& standardCommands();

}  // namespace clients
