#include "clients/command_table.h"

#include <stdexcept>
#include <string>

#include "clients/request.h"

namespace clients {
namespace {

struct Row {
  uint8_t tag;
  const char* name;
  CommandKind kind;
  int32_t level;
};

constexpr int32_t kNone = Command::kNoCheck;
constexpr CommandKind kRq = CommandKind::kRequest;
constexpr CommandKind kFn = CommandKind::kHandler;

// Level 0 reads, level 1 administers; kNone needs no login.
constexpr Row kLayout[] = {
    {14, "RqLoginToAgent", kRq, kNone},
    {30, "RqLoginToAgent", kRq, kNone},
    {32, "agentsList", kFn, kNone},
    {33, "RqStopAgent", kRq, 1},
    {35, "RqAgentThreads", kRq, 0},
    {36, "RqAgentInfo", kRq, 0},
    {38, "agentsMessage", kFn, 1},
    {39, "RqGetSettings", kRq, 1},
    {40, "RqSetSettings", kRq, 1},
    {48, "RqAgentSettings", kRq, 0},
    {64, "RqLogin", CommandKind::kLogin, kNone},
    {65, "RqSetLogin", kRq, 0},
    {67, "managerLock", kFn, 1},
    {68, "RqLockAgent", kRq, 1},
    {72, "RqKillClient", kRq, 1},
    {73, "RqGetLog", kRq, 0},
    {81, "RqAgentJavaInfo", kRq, 0},
    {91, "RqAgentStatistics", kRq, 0},
    {94, "RqAgentProcessStatistics", kRq, 0},
    {95, "RqAMStatistics", kRq, 0},
    {99, "logFiles", kFn, 0},
    {100, "consoleCommand", kFn, 0},
    {102, "RqSendMail", kRq, 1},
    {112, "RqUpdatesList", kRq, 0},
    {113, "RqUpdateUpload", kRq, 1},
    {114, "RqUpdateModify", kRq, 1},
    {115, "RqAgentProxyRequest", kRq, 0},
    {119, "RqKillAllClients", kRq, 1},
    {124, "agentTelemetry", kRq, kNone},
    {130, "RqADProxy", kRq, kNone},
};

}  // namespace

CommandTable::CommandTable() {
  for (const Row& row : kLayout) {
    Command& c = commands_[row.tag];
    c.tag = row.tag;
    c.name = row.name;
    c.kind = row.kind;
    c.level = row.level;
  }
}

const Command* CommandTable::find(uint8_t tag) const {
  const Command& c = commands_[tag];
  return c.known() ? &c : nullptr;
}

Command& CommandTable::entry(uint8_t tag, CommandKind kind) {
  Command& c = commands_[tag];
  if (!c.known() || c.kind != kind) {
    throw std::logic_error("command " + std::to_string(tag) + " is not of the kind bound");
  }
  return c;
}

void CommandTable::bindRequest(uint8_t tag, RequestFactory make) {
  entry(tag, CommandKind::kRequest).make = std::move(make);
}

void CommandTable::bindHandler(uint8_t tag, CommandHandler handler) {
  entry(tag, CommandKind::kHandler).handler = std::move(handler);
}

}  // namespace clients
