// The commands built into this manager, bound to the fixed layout. A module that implements
// further commands registers them here.
#include <memory>

#include "clients/client.h"
#include "clients/command_table.h"
#include "clients/rq_ad_proxy.h"
#include "clients/rq_set_login.h"

namespace clients {
namespace {

template <typename R>
std::unique_ptr<Request> make(Client& client, adt::NioTag& element) {
  return std::make_unique<R>(client, element);
}

CommandTable build() {
  CommandTable table;
  table.bindRequest(65, make<RqSetLogin>);
  table.bindRequest(RqADProxy::kTag, make<RqADProxy>);
  return table;
}

}  // namespace

const CommandTable& standardCommands() {
  static const CommandTable table = build();
  return table;
}

}  // namespace clients
