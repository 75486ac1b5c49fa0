// The commands built into this manager, bound to the fixed layout. A module that implements
// further commands registers them here.
#include <memory>

#include "clients/agents_list.h"
#include "clients/client.h"
#include "clients/command_table.h"
#include "clients/rq_ad_proxy.h"
#include "clients/rq_admin.h"
#include "clients/rq_agent_control.h"
#include "clients/rq_agent_link.h"
#include "clients/rq_get_log.h"
#include "clients/rq_login_to_agent.h"
#include "clients/rq_send_mail.h"
#include "clients/rq_set_login.h"
#include "clients/rq_updates.h"

namespace clients {
namespace {

template <typename R>
std::unique_ptr<Request> make(Client& client, adt::NioTag& element) {
  return std::make_unique<R>(client, element);
}

CommandTable build() {
  CommandTable table;
  table.bindRequest(65, make<RqSetLogin>);
  // Agent requests.
  table.bindRequest(RqLoginToAgent::kTagShort, make<RqLoginToAgent>);
  table.bindRequest(RqLoginToAgent::kTagLong, make<RqLoginToAgent>);
  table.bindHandler(32, agentsList);
  table.bindRequest(33, make<RqStopAgent>);
  table.bindRequest(35, make<RqAgentThreads>);
  table.bindRequest(36, make<RqAgentInfo>);
  table.bindRequest(48, make<RqAgentSettings>);
  table.bindRequest(68, make<RqLockAgent>);
  table.bindRequest(72, make<RqKillClient>);
  table.bindRequest(73, make<RqGetLog>);
  table.bindRequest(81, make<RqAgentJavaInfo>);
  table.bindRequest(91, [](Client& client, adt::NioTag& element) -> std::unique_ptr<Request> {
    return std::make_unique<RqAgentStatistics>(client, element, false);
  });
  table.bindRequest(94, [](Client& client, adt::NioTag& element) -> std::unique_ptr<Request> {
    return std::make_unique<RqAgentStatistics>(client, element, true);
  });
  // The update store.
  table.bindRequest(112, make<RqUpdatesList>);
  table.bindRequest(113, make<RqUpdateUpload>);
  table.bindRequest(114, make<RqUpdateModify>);
  table.bindRequest(115, make<RqAgentProxyRequest>);
  table.bindRequest(119, make<RqKillAllClients>);
  table.bindRequest(RqADProxy::kTag, make<RqADProxy>);
  table.bindRequest(102, make<RqSendMail>);
  // The manager itself.
  table.bindHandler(38, agentsMessage);
  table.bindRequest(39, make<RqGetSettings>);
  table.bindRequest(40, make<RqSetSettings>);
  table.bindHandler(67, managerLock);
  table.bindRequest(95, make<RqAMStatistics>);
  table.bindHandler(99, logFiles);
  table.bindHandler(100, consoleCommand);
  table.bindRequest(124, make<RqAgentTelemetry>);
  return table;
}

}  // namespace

const CommandTable& standardCommands() {
  static const CommandTable table = build();
  return table;
}

}  // namespace clients
