// What the settings ask of the machine, checked at start-up: descriptors for every agent
// process, ports of the common client_ports range for those without their own.
#include "server/capacity_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace server {
namespace {

std::vector<config::AgentConf> agentsOf(int n, int workers = 1) {
  std::vector<config::AgentConf> out;
  for (int i = 0; i < n; ++i) {
    config::AgentConf a;
    a.id = "a" + std::to_string(i);
    a.name = "Agent " + std::to_string(i);
    a.workerProcesses = workers;
    a.totalProcesses = workers;
    out.push_back(a);
  }
  return out;
}

TEST(CapacityCheck, DescriptorsForEveryProcessOrAClearRefusal) {
  config::CommonSettings common;
  // 1000 sections of 2 workers: 2000 processes.
  const std::vector<config::AgentConf> agents = agentsOf(1000, 2);
  const CapacityReport enough = checkCapacity(common, agents, 20000);
  EXPECT_EQ(enough.processes, 2000u);
  EXPECT_EQ(enough.descriptorsNeeded, kBaseDescriptors + 2000 * kDescriptorsPerProcess);
  EXPECT_TRUE(enough.error.empty());

  const CapacityReport tight = checkCapacity(common, agents, 1024);
  EXPECT_EQ(tight.error,
            "Недостаточно дескрипторов для 2000 процессов агентов: нужно не менее 12064, система "
            "позволяет 1024 (увеличьте ulimit -n или LimitNOFILE службы, либо уменьшите число "
            "агентов)");
  // Exactly enough is enough; HTTP listeners count too.
  EXPECT_TRUE(checkCapacity(common, agents, 12064).error.empty());
  std::vector<config::AgentConf> listening = agents;
  listening[0].httpPort = 8081;
  listening[0].httpsPort = 8443;
  EXPECT_FALSE(checkCapacity(common, listening, 12064).error.empty());
  EXPECT_TRUE(checkCapacity(common, listening, 12066).error.empty());

  // A repeated id is one agent, as the server makes it.
  std::vector<config::AgentConf> repeated = agentsOf(3);
  repeated[2].id = "a0";
  EXPECT_EQ(checkCapacity(common, repeated, 20000).processes, 2u);
}

TEST(CapacityCheck, CommonPortRangeTooSmallForAllAtOnceIsSaid) {
  config::CommonSettings common;
  common.clientPorts = {6000, 6002};  // 6000 and 6001: the upper end is never handed out
  std::vector<config::AgentConf> agents = agentsOf(2);
  CapacityReport r = checkCapacity(common, agents, 20000);
  EXPECT_EQ(r.poolPorts, 2u);
  EXPECT_EQ(r.poolDrawers, 2u);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_TRUE(r.error.empty());

  agents = agentsOf(3);
  r = checkCapacity(common, agents, 20000);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0],
            "диапазон client_ports 6000:6002 даёт 2 портов для 3 процессов агентов без своего "
            "порта: все сразу не запустятся");
  EXPECT_TRUE(r.error.empty());  // the start that finds no port says so itself

  // An agent with its own fixed port or range does not draw from the common one, and the
  // ports it holds are not the common range's to give.
  agents[0].clientPort = 6001;
  agents[1].clientPorts = {7000, 7010};
  r = checkCapacity(common, agents, 20000);
  EXPECT_EQ(r.poolDrawers, 1u);
  EXPECT_EQ(r.poolPorts, 1u);
  EXPECT_TRUE(r.warnings.empty());

  // Without an upper end the range runs to the last port.
  common.clientPorts = {65000, -1};
  r = checkCapacity(common, agentsOf(600), 20000);
  EXPECT_EQ(r.poolPorts, 535u);
  EXPECT_EQ(r.warnings.size(), 1u);
  // Without a common range nothing is said about ports.
  common.clientPorts = {};
  EXPECT_TRUE(checkCapacity(common, agentsOf(600), 20000).warnings.empty());
}

}  // namespace
}  // namespace server
