// The instances of one section and of the whole manager: lock, worker picking, surplus
// workers, staged settings and the stop of all agents.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "adt/exception.h"
#include "agent_test_fakes.h"
#include "agents/agent_stop.h"
#include "agents/amp.h"

namespace agents {
namespace {

class GroupTest : public testing::AgentTest {
 protected:
  AgentList linkedAgents(int n, uint16_t firstPort);
};

TEST_F(GroupTest, LockHoldsForTheWholeGroupAndOneAddress) {
  config::AgentConf c = section();
  c.workerProcesses = 2;
  c.totalProcesses = 2;
  c.runAtLeastOnce = true;
  AgentList list;
  list.push_back(std::make_unique<Agent>(host, c));
  list[0]->applyWorkers(list);
  ASSERT_EQ(list.size(), 2u);
  const adt::SocketAddress a{0x0500000A, 1111};  // 10.0.0.5
  const adt::SocketAddress b{0x0600000A, 1111};  // 10.0.0.6
  list[0]->lock(true, a);
  EXPECT_TRUE(list[1]->locked());
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "Агент \"A\" заблокирован клиентом 10.0.0.5"));
  for (auto& agent : list) agent->runOnce();
  EXPECT_EQ(list[0]->run, nullptr);  // locked agents are not started automatically
  EXPECT_EQ(list[1]->run, nullptr);

  try {
    list[1]->lock(false, b);
    FAIL() << "another address unlocked the agent";
  } catch (const adt::Exception& e) {
    EXPECT_STREQ(e.what(), "Агент заблокирован с другого IP");
  }
  EXPECT_EQ(list[0]->lockedBy, a);
  // The same address from another port may unlock it.
  list[1]->lock(false, adt::SocketAddress{a.address, 2222});
  EXPECT_FALSE(list[0]->locked());
  EXPECT_FALSE(list[1]->locked());
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "Агент \"A\" разблокирован клиентом 10.0.0.5"));
  list[0]->runOnce();
  EXPECT_NE(list[0]->run, nullptr);
}

TEST_F(GroupTest, PickWorkerPrefersAnUnusedRunningOneThenAnIdleOne) {
  config::AgentConf c = groupSection(3, 1);
  AgentList list;
  Agent& primary = makeGroup(list, c);
  ASSERT_EQ(list.size(), 4u);
  Agent& w2 = *list[1];
  Agent& w3 = *list[2];
  Agent& heavy = *list[3];

  EXPECT_EQ(primary.pickWorker(0, false), &primary);  // nothing runs: the first idle one
  EXPECT_EQ(primary.clientCount, 1);
  EXPECT_EQ(primary.pickWorker(0, true), &heavy);
  launch(w3);
  link(w3);
  EXPECT_EQ(primary.pickWorker(0, false), &w3);  // running and unused
  EXPECT_EQ(w3.clientCount, 1);
  EXPECT_EQ(primary.pickWorker(0, false), &primary);  // w3 has a client now: first idle
  launch(primary);
  link(primary);
  launch(w2);
  link(w2);
  // All running: the lowest load score wins; the clients given out weigh in it, so the one
  // without any is taken.
  EXPECT_EQ(primary.pickWorker(0, false), &w2);
  EXPECT_EQ(w2.clientCount, 1);

  // A requested worker id wins and gets its supervision step.
  host.backend.processes[0]->exit(0);  // w3's process
  EXPECT_EQ(primary.pickWorker(3, false), &w3);
  EXPECT_TRUE(w3.run->finished);  // its step found the process gone
  EXPECT_EQ(w3.clientCount, 2);
  // Heavy ones only when heavy processes are configured.
  primary.conf.heavyProcesses = 0;
  EXPECT_NE(primary.pickWorker(0, true), &heavy);
}

TEST_F(GroupTest, SurplusWorkersLeaveTheGroup) {
  config::AgentConf c = groupSection(3);
  AgentList list;
  Agent& primary = makeGroup(list, c);
  ASSERT_EQ(list.size(), 3u);
  Agent& w2 = *list[1];
  Agent& w3 = *list[2];
  launch(w2);  // w2 runs, w3 is idle

  c.workerProcesses = 2;
  c.totalProcesses = 2;
  primary.configure(c);
  primary.applyWorkers(list);
  EXPECT_TRUE(w3.removed);  // idle ones go first
  EXPECT_EQ(w3.workerId, 0);
  EXPECT_EQ(w3.conf.id, "--a1");
  EXPECT_EQ(host.deletions, std::vector<Agent*>{&w3});
  EXPECT_FALSE(w2.removed);
  EXPECT_EQ(*primary.group, (std::vector<Agent*>{&primary, &w2}));

  c.workerProcesses = 1;
  c.totalProcesses = 1;
  primary.configure(c);
  primary.applyWorkers(list);
  EXPECT_TRUE(w2.removed);  // a running one, when there are still too many
  EXPECT_FALSE(primary.group);
  EXPECT_EQ(host.deletions.size(), 1u);  // it keeps running until it stops
  EXPECT_NE(w2.process(), nullptr);
  host.backend.last().exit(0);
  w2.runOnce();
  w2.runOnce();
  EXPECT_EQ(host.deletions, (std::vector<Agent*>{&w3, &w2}));

  // Growing again takes the smallest free worker id.
  c.workerProcesses = 2;
  c.totalProcesses = 2;
  primary.configure(c);
  primary.applyWorkers(list);
  EXPECT_EQ(list.back()->workerId, 2);
  EXPECT_EQ(list.back()->conf.id, "a1");
}

TEST_F(GroupTest, StagedSettingsWaitForTheStop) {
  config::AgentConf c = section();
  c.httpPort = 8080;
  Agent agent(host, c);
  agent.syncHttpListeners();
  launch(agent);
  link(agent);
  adt::String pending;
  EXPECT_FALSE(agent.pendingChanges(pending));

  config::AgentConf next = c;
  next.name = "B";
  next.dir = "/srv";
  next.httpPort = 8081;
  next.masks.parse("10.*", config::kMaskAllow);
  agent.configure(next);
  EXPECT_EQ(agent.conf.name, "A");  // running: nothing changes yet
  EXPECT_TRUE(agent.pendingChanges(pending));
  EXPECT_EQ(pending, "name\ndir\nip_mask\nhttp_port\n");

  adt::String written;
  agent.writeSection(written);
  EXPECT_EQ(
      written.rfind("[agent]\r\nid=a1\r\nname=A\r\ncmd=/opt/agent/run\r\nhttp_port=8080\r\n", 0),
      0u);

  agent.run->softStop("r", false, 1000, 0);
  host.backend.last().exit(0);
  agent.runOnce();
  agent.runOnce();
  EXPECT_EQ(agent.conf.name, "B");
  ASSERT_EQ(host.slots.size(), 2u);
  EXPECT_TRUE(host.slots[0]->closed);
  EXPECT_EQ(agent.httpListener[0], host.slots[1].get());
  EXPECT_EQ(host.slots[1]->port(), 8081);
  pending.clear();
  EXPECT_FALSE(agent.pendingChanges(pending));
}

TEST_F(GroupTest, ServerStopKeepsNamedPipeAgentsWhenLeaving) {
  AgentList list;
  list.push_back(std::make_unique<Agent>(host, section("A", "a1")));
  list.push_back(std::make_unique<Agent>(host, section("N", "n1")));
  list.push_back(std::make_unique<Agent>(host, section("Q", "q1")));
  launch(*list[0]);
  link(*list[0]);
  list[1]->takeOver(900, "");  // taken over from the previous manager: uses the named pipe
  link(*list[1]);
  launch(*list[2]);
  link(*list[2]);
  testing::FakeProcessState& a = *host.backend.processes[0];
  testing::FakeProcessState& n = *host.backend.processes[1];
  testing::FakeProcessState& q = *host.backend.processes[2];
  host.stoppingFlag = true;
  // The client listeners took 5 s to close before the agents are stopped.
  const uint64_t t0 = now() - 5000;
  int passes = 0;
  const auto pass = [&] {
    ++passes;
    advance(1000);
    if (passes == 2) q.exit(0);  // Q stops by itself while we wait
    for (auto& agent : list) agent->runOnce();
  };
  const size_t from = logs.size();
  stopAllAgents(list, "остановка службы", true, 20000, t0, host.fakeClock, pass);

  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Остановка агента \"A\" (pid:4000) таймаут(20000мс), причина: остановка "
                       "службы..."));
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"Q\" (pid:4001) остановлен"));
  EXPECT_TRUE(a.terminated);
  EXPECT_FALSE(n.terminated);  // left for the next manager
  EXPECT_FALSE(q.terminated);
  // Not even asked to stop: it keeps serving until the next manager takes it over.
  EXPECT_FALSE(list[1]->process()->stopRequest.has_value());
  EXPECT_TRUE(logs.hasPrefix(
      adt::LOG_WARN, "...агент \"A\" (pid:4000) убит, причина: не успел остановиться сам (2"));
  expectKillLines(from, true);
  EXPECT_TRUE(host.errors.empty());  // quiet
  EXPECT_GT(now() - t0, 20000u);
  EXPECT_LT(passes, 40);
}

TEST_F(GroupTest, ServerStopWithoutLeaveStopsEveryone) {
  AgentList list;
  list.push_back(std::make_unique<Agent>(host, section("A", "a1")));
  list.push_back(std::make_unique<Agent>(host, section("N", "n1")));
  launch(*list[0]);
  link(*list[0]);
  list[1]->reattach(900);
  link(*list[1]);
  list.push_back(std::make_unique<Agent>(host, section("P", "p1")));
  list[2]->agentStartProcess("http", false);  // pending: must not launch while stopping
  host.stoppingFlag = true;
  int passes = 0;
  const uint64_t t0 = now() - 5000;
  stopAllAgents(list, "завершение работы консоли", false, 16777215, t0, host.fakeClock, [&] {
    advance(1000);
    if (++passes == 3) host.backend.processes[1]->exit(0);  // N goes when told
    for (auto& agent : list) agent->runOnce();
  });
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Остановка агента \"A\" (pid:4000) таймаут(20000мс), причина: "
                       "завершение работы консоли..."));
  // A ignores the request and is killed once the time is up; N is not kept without leave.
  EXPECT_TRUE(host.backend.processes[0]->terminated);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"N\" (pid:900) остановлен"));
  EXPECT_EQ(host.backend.spawns.size(), 1u);  // only A's own start
  EXPECT_EQ(list[2]->run, nullptr);
  EXPECT_EQ(list[2]->stopReason, "завершение работы консоли");
  EXPECT_TRUE(host.errors.empty());
  // The console's hours of time-out do not keep the manager waiting for an agent that
  // ignores the stop: it is killed after the agents' stop limit.
  EXPECT_GT(now() - t0, kAgentStopLimitMs);
  EXPECT_LT(now() - t0, 16777215u);
  EXPECT_TRUE(logs.hasPrefix(
      adt::LOG_WARN, "...агент \"A\" (pid:4000) убит, причина: не успел остановиться сам ("));
  EXPECT_LT(passes, 1000);
}

// `n` agents "Agent <i>", each started and linked on port firstPort + i.
AgentList GroupTest::linkedAgents(int n, uint16_t firstPort) {
  AgentList list;
  for (int i = 0; i < n; ++i) {
    list.push_back(std::make_unique<Agent>(
        host, section("Agent " + std::to_string(i), "a" + std::to_string(i))));
    launch(*list.back());
    link(*list.back(), static_cast<uint16_t>(firstPort + i));
  }
  return list;
}

TEST_F(GroupTest, StopOfManyAgentsAsksThemAllAtOnceAndCollectsTheirEndsAsTheyCome) {
  constexpr int kAgents = 200;
  AgentList list = linkedAgents(kAgents, 41000);
  host.stoppingFlag = true;
  host.requests.clear();
  const uint64_t t0 = now();
  int passes = 0;
  size_t askedBeforeFirstPass = 0;
  stopAllAgents(list, "завершение работы консоли", false, 16777215, t0, host.fakeClock, [&] {
    if (++passes == 1) {
      askedBeforeFirstPass = host.requests.size();
      // Every agent answers at once: all of them end within this one pass.
      for (auto& p : host.backend.processes) p->exit(0);
    }
    advance(100);
    for (auto& agent : list) agent->runOnce();
  });

  // Every soft stop went out before the first pass waited for anything.
  ASSERT_EQ(askedBeforeFirstPass, static_cast<size_t>(kAgents));
  std::set<uint16_t> ports;
  for (const testing::FakeHost::Request& r : host.requests) {
    if (r.code == amp::kTerminateAgent) ports.insert(r.port);
  }
  EXPECT_EQ(ports.size(), static_cast<size_t>(kAgents));
  // Their ends were collected in the sweep after that pass: one pass in all, nobody killed.
  EXPECT_EQ(passes, 1);
  EXPECT_LT(now() - t0, 1000u);
  for (int i = 0; i < kAgents; ++i) {
    EXPECT_EQ(list[i]->run, nullptr) << i;
    EXPECT_FALSE(host.backend.processes[i]->terminated) << i;
  }
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"Agent 199\" (pid:4199) остановлен"));
  EXPECT_FALSE(logs.hasPrefix(adt::LOG_WARN, "...агент \"Agent"));
}

TEST_F(GroupTest, StopOfManyAgentsCollectsLateEndsWithoutWaitingForTheSlowest) {
  constexpr int kAgents = 50;
  AgentList list = linkedAgents(kAgents, 42000);
  host.stoppingFlag = true;
  const uint64_t t0 = now();
  int passes = 0;
  std::vector<int> endedAtPass(kAgents, 0);
  stopAllAgents(list, "sigstop", false, 15000, t0, host.fakeClock, [&] {
    ++passes;
    // One agent in ten ends each pass, the last (agent 0) never: killed at the time-out.
    for (int i = 1; i < kAgents; ++i) {
      if (i % 10 == passes % 10 && !host.backend.processes[i]->ended) {
        host.backend.processes[i]->exit(0);
      }
    }
    advance(100);
    for (auto& agent : list) {
      if (agent->run) agent->runOnce();
    }
    for (int i = 1; i < kAgents; ++i) {
      if (!endedAtPass[i] && !list[i]->run) endedAtPass[i] = passes;
    }
  });
  // Each was cleaned up in the sweep right after its end, not after the others'.
  for (int i = 1; i < kAgents; ++i) {
    EXPECT_LE(endedAtPass[i], 11) << i;
    EXPECT_FALSE(host.backend.processes[i]->terminated) << i;
  }
  EXPECT_TRUE(host.backend.processes[0]->terminated);
  // Killed once its time was up (by the sweep or by its own supervision step, whichever came
  // first at the time-out).
  EXPECT_TRUE(logs.hasPrefix(adt::LOG_WARN, "...агент \"Agent 0\" (pid:4000) убит, причина: "));
  EXPECT_GT(now() - t0, 15000u);
  EXPECT_LT(passes, 200);
}

}  // namespace
}  // namespace agents
