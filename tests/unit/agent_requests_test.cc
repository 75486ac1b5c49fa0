// The pieces of the agent requests that need no connection: agent lookup with workers, the
// list filter, the stop time-outs, the info text and the refused pass-through codes.
#include <gtest/gtest.h>

#include <map>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "agent_test_fakes.h"
#include "agents/amp.h"
#include "client_test_support.h"
#include "clients/agent_request.h"
#include "clients/agents_list.h"
#include "clients/client_exception.h"
#include "clients/rq_agent_control.h"
#include "clients/rq_agent_link.h"

namespace {

using agents::Agent;

class AgentRequests : public agents::testing::AgentTest {
 protected:
  Agent& add(const config::AgentConf& conf) {
    clientHost.agentList.push_back(std::make_unique<Agent>(host, conf));
    Agent& agent = *clientHost.agentList.back();
    agent.applyWorkers(clientHost.agentList);
    return agent;
  }
  clients::testing::FakeHost clientHost;
};

TEST_F(AgentRequests, LookupByIdentifierNameAndWorker) {
  config::AgentConf web = section("Web", "w");
  web.workerProcesses = 3;
  Agent& primary = add(web);
  Agent& other = add(section("Other", "o"));
  ASSERT_EQ(clientHost.agentList.size(), 4u);  // Web, its workers 2 and 3, Other

  EXPECT_EQ(&clients::findAgent(clientHost, "w", "", 0), &primary);
  EXPECT_EQ(&clients::findAgent(clientHost, "", "Other", 0), &other);
  // The identifier wins over the name.
  EXPECT_EQ(&clients::findAgent(clientHost, "o", "Web", 0), &other);
  Agent& worker3 = clients::findAgent(clientHost, "w", "", 3);
  EXPECT_EQ(worker3.workerId, 3);
  EXPECT_NE(&worker3, &primary);
  EXPECT_EQ(clients::workerKind(worker3), 1);
  EXPECT_EQ(clients::workerKind(other), 0);

  try {
    clients::findAgent(clientHost, "w", "", 4);
    FAIL() << "worker 4 does not exist";
  } catch (const clients::ClientException& e) {
    EXPECT_EQ(e.code(), clients::ClientException::kUnknownAgent);
    EXPECT_EQ(e.text(), "Неизвестное имя агента \"w\"");
  }
  EXPECT_EQ(clients::lookupAgent(clientHost, "", "Nobody", 0), nullptr);
  EXPECT_EQ(clients::lookupAgent(clientHost, "o", "", 2), nullptr);  // Other has no workers
  EXPECT_TRUE(clients::stillListed(clientHost, &worker3));
  EXPECT_FALSE(clients::stillListed(clientHost, nullptr));
}

TEST_F(AgentRequests, HeavyWorkersChangeTheWorkerKind) {
  config::AgentConf conf = section("Heavy", "h");
  conf.heavyProcesses = 1;
  Agent& primary = add(conf);
  ASSERT_NE(primary.group, nullptr);
  Agent* heavy = nullptr;
  for (Agent* member : *primary.group) {
    if (member->heavy) heavy = member;
  }
  ASSERT_NE(heavy, nullptr);
  EXPECT_EQ(clients::workerKind(*heavy), 7);
  EXPECT_EQ(clients::workerKind(primary), 3);
}

TEST_F(AgentRequests, ListFilterByApplicationAndVirtualServer) {
  config::AgentConf crm = section("Crm", "c");
  crm.application = {"crm", "erp"};
  config::AgentConf fallback = section("Default", "d");
  fallback.application = {"default"};
  config::AgentConf bare = section("Bare", "b");
  config::AgentConf named = section("Named", "n");
  config::parseServerNames("alpha beta", named.serverName);
  Agent& a = add(crm);
  Agent& d = add(fallback);
  Agent& b = add(bare);
  Agent& n = add(named);

  EXPECT_TRUE(clients::agentMatches(a, "erp", ""));
  EXPECT_FALSE(clients::agentMatches(a, "", ""));
  EXPECT_FALSE(clients::agentMatches(a, "ERP", ""));  // exact
  EXPECT_TRUE(clients::agentMatches(d, "", ""));
  EXPECT_FALSE(clients::agentMatches(d, "crm", ""));
  EXPECT_TRUE(clients::agentMatches(b, "", "anything"));  // no server names: any server
  EXPECT_TRUE(clients::agentMatches(n, "", "beta"));
  EXPECT_FALSE(clients::agentMatches(n, "", "gamma"));
  EXPECT_FALSE(clients::agentMatches(n, "", ""));  // names listed: one must be given
}

TEST_F(AgentRequests, StatusOfARunningAgentCarriesItsProcessAndLink) {
  Agent& agent = add(section("Run", "r"));
  host.clientPortToGive = 7123;
  launch(agent);
  link(agent);
  adt::Bytes bytes;
  adt::TaggedBufferWriter out(bytes);
  clients::writeAgentStatus(agent, out);
  out.flush();
  adt::TaggedBufferReader in(bytes);
  std::map<int, adt::Bytes> seen;
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) in.readBytes(seen[tag]);
  ASSERT_TRUE(seen.count(57));
  int32_t state = 0;
  std::memcpy(&state, seen[57].data(), 4);
  EXPECT_EQ(state, 2);
  ASSERT_TRUE(seen.count(18));
  uint32_t pid = 0;
  std::memcpy(&pid, seen[18].data(), 4);
  EXPECT_EQ(pid, agent.process()->pid);
  ASSERT_TRUE(seen.count(19));
  int32_t port = 0;
  std::memcpy(&port, seen[19].data(), 4);
  EXPECT_EQ(port, agent.run->clientPort);
  EXPECT_EQ(seen[71].size(), 16u);
}

TEST(AgentRequestTexts, StopTimeOutsAreRaisedToTwentySeconds) {
  using clients::RqStopAgent;
  EXPECT_EQ(RqStopAgent::timeoutFor(0, 5000), 20000u);
  EXPECT_EQ(RqStopAgent::timeoutFor(0, 25000), 25000u);
  EXPECT_EQ(RqStopAgent::timeoutFor(0, 0), 20000u);
  EXPECT_EQ(RqStopAgent::timeoutFor(1, 0), 300000u);
  EXPECT_EQ(RqStopAgent::graceFor(1, 300000), 280000u);
  EXPECT_EQ(RqStopAgent::graceFor(1, 20000), 0u);
  EXPECT_EQ(RqStopAgent::graceFor(0, 60000), 0u);
}

TEST(AgentRequestTexts, InfoShowsStartTimeAndUptime) {
  platform::LocalTime start;
  start.year = 2024;
  start.month = 3;
  start.day = 5;
  start.hour = 7;
  start.minute = 8;
  start.second = 9;
  const uint64_t uptime = ((1ull * 24 + 2) * 3600 + 3 * 60 + 4) * 1000 + 999;
  EXPECT_EQ(clients::RqAgentInfo::startText(platform::toFractionalDays(start), uptime),
            "Время запуска агента: 05.03.2024 07:08:09\r\n"
            "Время работы агента: 1:02:03:04 (дни:часы:минуты:секунды)\r\n\r\n");
}

TEST(AgentRequestTexts, PassThroughRefusesTheManagersOwnCodes) {
  using clients::RqAgentProxyRequest;
  namespace amp = agents::amp;
  for (uint32_t code : {amp::kTerminateAgent, amp::kSoftTerminate, amp::kKillAllClients,
                        amp::kStartReport, amp::kTelemetry, amp::kHttpSocket}) {
    EXPECT_TRUE(RqAgentProxyRequest::forbiddenCode(code)) << code;
  }
  EXPECT_FALSE(RqAgentProxyRequest::forbiddenCode(1000));
  EXPECT_FALSE(RqAgentProxyRequest::forbiddenCode(amp::kAgentInfo));
}

}  // namespace
