// The agents list (command 32): what a client can connect to, filtered by application, virtual
// server and address; a logged-in client also gets the machine's memory figures and each
// agent's status.
#pragma once
#include <cstdint>

#include "adt/nio_tagged_reader.h"
#include "adt/tagged_writer.h"
#include "agents/agent.h"

namespace clients {

class Client;

// The handler (no login needed). The command's value may be a nested stream with element 61
// (application) and 44 (virtual server); with it, an agent is listed only when it serves the
// application and the virtual server and admits the client's address. A client that is not
// logged in and whose address the manager's own filter refuses gets an empty reply.
//
// Per listed record: 52 (empty, opens the record), 51 identifier (when set), 54 name, 55
// description, 121 worker id (when not 0; 64-bit for client revisions 0 and 1), 120 worker
// kind. For a logged-in client, after 93 (nested: 1 memory load %, 3 total KiB, 4 used KiB)
// at the top, each record also carries its status (see writeAgentStatus).
void agentsList(Client& client, adt::NioTag& element);

// Who asks for the list: the client's IPv4 address (host order), whether it is logged in, and
// its protocol revision.
struct ListViewer {
  uint32_t address = 0;
  bool loggedIn = false;
  int revision = 0;
};

// The list's filter (the command's nested value), when one was given.
struct ListFilter {
  bool present = false;
  adt::String application, server;
};

// The agent records of the list, in list order (what follows element 93): work in proportion
// to the agents listed.
void writeAgentRecords(const agents::AgentList& agents, const ListViewer& viewer,
                       const ListFilter& filter, adt::TaggedWriter& out);

// A record's status for logged-in clients:
//   57 state (0 stopped, 1 starting, 2 running, 3 stopping) and 56 its text;
//   108 1 when the agent redirects, 105 the redirect; 98 the number of address filter
//   entries and 111 the filter as text ("<ip_mask>" and, with bans, " ban:<ban_mask>");
//   84 start reason, 58 stop reason (when set); 69 the locking address (when locked);
//   53 the icon path (when set); 20 clients sent to the instance;
//   with a process: 18 pid, 27 its local start time (fractional days);
//   with a link: 19 the client port, 23 the clients the agent reports, 85 the local time of the
//   start report, 71 the reported version (four 32-bit integers).
void writeAgentStatus(const agents::Agent& agent, adt::TaggedWriter& out);

// The state a client sees: 0 stopped, 1 starting, 2 running, 3 stopping.
int32_t agentState(const agents::Agent& agent);

// The list's filter test for one agent (application, virtual server; addresses are tested
// by the caller). An empty application matches agents without one or listing "default".
bool agentMatches(const agents::Agent& agent, const adt::String& application,
                  const adt::String& server);

}  // namespace clients
