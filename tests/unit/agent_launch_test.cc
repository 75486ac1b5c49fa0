// The launch step: command lines of both forms, the output pipe, version selection and the
// failures of a start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "agent_test_fakes.h"
#include "child.h"
#include "platform/error.h"
#include "platform/self.h"

namespace agents {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::FakeVersionStore;
using testing::LogCapture;

class LaunchTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  const std::string home = dir.path();
  FakeHost host{home};
  FakeVersionStore store{home + "/dist"};
  LogCapture logs;
  const std::string key = std::to_string(host.key);
  const std::string pid = std::to_string(platform::currentProcessId());

  static config::AgentConf section(const std::string& name = "A", const std::string& id = "a1") {
    config::AgentConf c;
    c.name = name;
    c.id = id;
    c.cmd = "/opt/agent/run";
    return c;
  }

  // The tail every command line ends with.
  std::string tail() const { return " --home.path " + home + " --am-proc " + pid; }

  // Requests a start and runs the launch step; true when a process was made.
  static bool start(Agent& agent, const char* reason = "test") {
    agent.agentStartProcess(reason, false);
    agent.runOnce();
    return agent.process() != nullptr;
  }

  // A distribution agent (args set, no cmd) with exactly one distribution in the store.
  std::unique_ptr<Agent> distributionAgent(uint32_t version) {
    host.store = &store;
    store.entries = {{version, false}};
    ++store.gen;
    config::AgentConf c = section();
    c.cmd.clear();
    c.args = "--login db";
    return std::make_unique<Agent>(host, c);
  }
};

TEST_F(LaunchTest, OwnCommandCarriesEveryOptionInOrder) {
  host.id = "srv";
  host.fqdnText = "am.example.org";
  host.clientPortToGive = 6001;
  fs::create_directories(home + "/updates");
  config::AgentConf c = section("Агент", "a1");
  c.cmd = "/opt/agent/run -x";
  c.args = "--ignored-when-cmd-is-set";
  Agent agent(host, c);
  ASSERT_TRUE(start(agent));

  EXPECT_EQ(host.backend.lastCommand(),
            "/opt/agent/run -x --am-key " + key +
                " --agentid \"a1\" --serverid \"srv\" --name \"Агент\" --update.path \"" + home +
                "/updates/clients\" --fqdn \"am.example.org\" --cl_port 6001" + tail());
  const AgentSpawn& spawn = host.backend.spawns.back();
  // The agent receives Windows-1251.
  EXPECT_NE(spawn.commandLine.find(adt::toCp1251("\"Агент\"")), std::string::npos);
  EXPECT_EQ(spawn.directory, home);
  EXPECT_EQ(spawn.environment,
            (std::vector<std::pair<std::string, std::string>>{{"AM_AGENT_PORT", "5002"}}));
  EXPECT_TRUE(spawn.inheritedSockets.empty());
  EXPECT_FALSE(host.backend.spawnedWithNamedPipe.back());
  EXPECT_TRUE(host.backend.pipeRequests.empty());
  EXPECT_FALSE(agent.process()->namedPipe);
  EXPECT_EQ(agent.run->clientPort, 6001);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "Запуск агента \"Агент\", причина: test..."));
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"Агент\" (pid:4000) запускается"));
}

TEST_F(LaunchTest, MinimalOwnCommandAndItsDirectory) {
  config::AgentConf c = section("A", "");
  c.dir = "/srv/agent";
  Agent agent(host, c);
  ASSERT_TRUE(start(agent));
  EXPECT_EQ(host.backend.lastCommand(),
            "/opt/agent/run --am-key " + key + " --name \"A\"" + tail());
  EXPECT_EQ(host.backend.spawns.back().directory, "/srv/agent");
}

TEST_F(LaunchTest, ListenersAreInheritedAndTheirHandlesRecorded) {
  config::AgentConf c = section();
  c.httpPort = 8080;
  c.httpsPort = 8443;
  Agent agent(host, c);
  agent.syncHttpListeners();
  ASSERT_EQ(host.slots.size(), 2u);
  ASSERT_TRUE(start(agent));
  EXPECT_EQ(host.backend.spawns.back().inheritedSockets,
            (std::vector<int>{host.slots[0]->socketHandle(), host.slots[1]->socketHandle()}));
  EXPECT_EQ(agent.process()->inheritedHttp[0], 3);
  EXPECT_EQ(agent.process()->inheritedHttp[1], 4);
}

TEST_F(LaunchTest, WorkersGetTheirIdsPortsAndExtraMemory) {
  config::AgentConf c = section();
  c.workerProcesses = 2;
  c.heavyProcesses = 1;
  c.totalProcesses = 3;
  c.heavyExtraMem = 512;
  c.httpPort = 8080;
  c.httpsPort = 8443;
  c.clientPort = 7000;
  AgentList list;
  list.push_back(std::make_unique<Agent>(host, c));
  list[0]->applyWorkers(list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1]->workerId, 2);
  EXPECT_EQ(list[2]->workerId, 3);
  EXPECT_FALSE(list[1]->heavy);
  EXPECT_TRUE(list[2]->heavy);
  ASSERT_TRUE(list[0]->group);
  EXPECT_EQ(*list[0]->group, (std::vector<Agent*>{list[0].get(), list[1].get(), list[2].get()}));
  EXPECT_EQ(list[2]->group, list[0]->group);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(list[i]->conf.httpPort, 0);
    EXPECT_EQ(list[i]->conf.httpsPort, 0);
    EXPECT_EQ(list[i]->conf.clientPort, 0);
    EXPECT_EQ(list[i]->extHttpPort, 8080);
    EXPECT_EQ(list[i]->extHttpsPort, 8443);
  }

  ASSERT_TRUE(start(*list[2]));
  EXPECT_EQ(host.backend.lastCommand(),
            "/opt/agent/run --am-key " + key +
                " --worker-id 3 --ext-https 8443 --agentid \"a1\" --name \"A\" --extra_jmem 512" +
                tail());
  ASSERT_TRUE(start(*list[1]));
  EXPECT_EQ(host.backend.lastCommand(), "/opt/agent/run --am-key " + key +
                                            " --worker-id 2 --ext-https 8443 --agentid \"a1\" "
                                            "--name \"A\"" +
                                            tail());
  // Without an HTTPS port the worker is told the HTTP one.
  list[1]->extHttpsPort = 0;
  list[1]->run.reset();
  ASSERT_TRUE(start(*list[1]));
  EXPECT_NE(host.backend.lastCommand().find(" --worker-id 2 --ext-http 8080 --agentid"),
            std::string::npos);
}

TEST_F(LaunchTest, DistributionBefore525GetsItsSettingsCopied) {
  testsupport::writeFile(home + "/dorvi.conf", "db=1\n");
  auto agent = distributionAgent(adt::makeVersion(5, 2, 4));
  ASSERT_TRUE(start(*agent));
  const std::string verDir = store.deployed.begin()->second->directory();
  EXPECT_EQ(host.backend.lastCommand(), verDir + "/dorvi --log " + home +
                                            "/log/a1/a1.log --login db --am-key " + key +
                                            " --agentid \"a1\" --name \"A\"" + tail());
  EXPECT_TRUE(fs::is_directory(home + "/log/a1"));
  EXPECT_EQ(testsupport::readFile(verDir + "/dorvi.conf"), "db=1\n");
  EXPECT_FALSE(host.backend.spawnedWithNamedPipe.back());
  EXPECT_EQ(agent->run->version, agent->version);
}

TEST_F(LaunchTest, DistributionFrom525IsToldWhereItsSettingsAre) {
  testsupport::writeFile(home + "/dorvi.conf", "old\n");
  testsupport::writeFile(home + "/dor.conf", "new\n");  // preferred when present
  auto agent = distributionAgent(adt::makeVersion(5, 2, 5));
  ASSERT_TRUE(start(*agent));
  const std::string verDir = store.deployed.begin()->second->directory();
  EXPECT_EQ(host.backend.lastCommand(),
            verDir + "/dorvi --log " + home + "/log/a1/a1.log --conf.path " + home +
                "/dor.conf --login db --am-key " + key + " --agentid \"a1\" --name \"A\"" + tail());
  EXPECT_FALSE(fs::exists(verDir + "/dorvi.conf"));
  EXPECT_FALSE(host.backend.spawnedWithNamedPipe.back());
}

TEST_F(LaunchTest, PipeKindFollowsTheVersion) {
  testsupport::writeFile(home + "/dor.conf", "x\n");
  const struct {
    uint32_t version;
    bool named;
  } cases[] = {{adt::makeVersion(5, 1, 518), false}, {adt::makeVersion(5, 1, 519), true},
               {adt::makeVersion(5, 1, 600), true},  {adt::makeVersion(5, 2, 0), false},
               {adt::makeVersion(5, 2, 3), false},   {adt::makeVersion(5, 2, 5), false},
               {adt::makeVersion(5, 2, 6), true},    {adt::makeVersion(6, 0, 0), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(adt::versionText(c.version));
    auto agent = distributionAgent(c.version);
    host.backend.pipeRequests.clear();
    ASSERT_TRUE(start(*agent));
    EXPECT_EQ(host.backend.spawnedWithNamedPipe.back(), c.named);
    EXPECT_EQ(agent->process()->namedPipe, c.named);
    const std::string pipeOption = " --am-pipe vantor/am/" + key + "/agents/a1";
    if (c.named) {
      EXPECT_EQ(host.backend.pipeRequests,
                std::vector<std::string>{"vantor/am/" + key + "/agents/a1"});
      // The pipe option comes last.
      const std::string cmd = host.backend.lastCommand();
      EXPECT_EQ(cmd.substr(cmd.size() - tail().size() - pipeOption.size()), tail() + pipeOption);
    } else {
      EXPECT_TRUE(host.backend.pipeRequests.empty());
      EXPECT_EQ(host.backend.lastCommand().find("--am-pipe"), std::string::npos);
    }
    store.deployed.clear();
  }
}

TEST_F(LaunchTest, BusyPipeNamesGetUnderscores) {
  testsupport::writeFile(home + "/dor.conf", "x\n");
  const std::string base = "vantor/am/" + key + "/agents/a1";
  host.backend.busyNames = {base, base + "_"};
  auto agent = distributionAgent(adt::makeVersion(5, 2, 6));
  ASSERT_TRUE(start(*agent));
  EXPECT_EQ(host.backend.pipeRequests, (std::vector<std::string>{base, base + "_", base + "__"}));
  EXPECT_NE(host.backend.lastCommand().find(" --am-pipe " + base + "__"), std::string::npos);
}

TEST_F(LaunchTest, TenBusyPipeNamesFailTheStart) {
  testsupport::writeFile(home + "/dor.conf", "x\n");
  const std::string base = "vantor/am/" + key + "/agents/a1";
  std::string name = base;
  for (int i = 0; i < 12; ++i, name += "_") host.backend.busyNames.insert(name);
  auto agent = distributionAgent(adt::makeVersion(5, 2, 6));
  EXPECT_FALSE(start(*agent));
  EXPECT_EQ(host.backend.pipeRequests.size(), 10u);
  EXPECT_TRUE(host.backend.spawns.empty());
  EXPECT_TRUE(agent->run->finished);
  const std::string tenth = base + std::string(9, '_');
  EXPECT_EQ(agent->stopReason.rfind("Cannot create named pipe \"" + tenth + "\" => ", 0), 0u)
      << agent->stopReason;
  EXPECT_EQ(agent->earlyFailTick, host.fakeClock.nowMs());
  EXPECT_EQ(host.errors.size(), 1u);
}

TEST_F(LaunchTest, PipeNameWithoutIdOrWithAPathInIt) {
  testsupport::writeFile(home + "/dor.conf", "x\n");
  auto agent = distributionAgent(adt::makeVersion(5, 2, 6));
  agent->conf.id.clear();
  ASSERT_TRUE(start(*agent));
  EXPECT_EQ(host.backend.pipeRequests.back(),
            "vantor/am/" + key + "/agents/nh-" + std::to_string(adt::crc64we("A")));

  // An id never leads the pipe out of its directory. (The log directory made from the id must
  // exist for the start to go on.)
  fs::create_directories(home + "/up");
  fs::create_directories(home + "/log/a");
  for (const auto& [id, component] : std::vector<std::pair<std::string, std::string>>{
           {"../up/x", ".._up_x"}, {"..", "__"}, {"a/b", "a_b"}}) {
    auto other = distributionAgent(adt::makeVersion(5, 2, 6));
    other->conf.id = id;
    ASSERT_TRUE(start(*other));
    EXPECT_EQ(host.backend.pipeRequests.back(), "vantor/am/" + key + "/agents/" + component);
  }
}

TEST_F(LaunchTest, MissingVersionNamesTheRequiredOne) {
  host.store = &store;
  config::AgentConf c = section();
  c.cmd.clear();
  c.args = "--x";
  c.verMin = adt::makeVersion(5, 2, 0);
  c.verMax = adt::makeVersion(5, 2, 65535);
  Agent agent(host, c);
  EXPECT_FALSE(start(agent));
  const std::string text = "Не найдена подходящая версия агента (требуемая версия: 5.2)";
  EXPECT_EQ(agent.stopReason, text);
  EXPECT_TRUE(agent.run->finished);
  const std::string logged = text + "\ndir: " + home + "\ncmd: ";
  EXPECT_TRUE(logs.has(adt::LOG_ERR, logged));
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].details, text);
  EXPECT_EQ(host.errors[0].text, logged + "\nпричина запуска: test");

  EXPECT_EQ(requiredVersionText(0, 0xFFFFFFFF), "без ограничений");
  EXPECT_EQ(requiredVersionText(0, adt::makeVersion(5, 3, 65535)), "<=5.3");
  EXPECT_EQ(requiredVersionText(adt::makeVersion(5, 1, 0), 0xFFFFFFFF), ">=5.1");
  EXPECT_EQ(requiredVersionText(adt::makeVersion(5, 1, 7), adt::makeVersion(5, 3, 65535)),
            "5.1.7-5.3");
}

TEST_F(LaunchTest, UnpackingVersionWaitsWithoutFailing) {
  testsupport::writeFile(home + "/dor.conf", "x\n");
  store.deployState = DeployState::kUnpacking;
  auto agent = distributionAgent(adt::makeVersion(5, 2, 6));
  EXPECT_FALSE(start(*agent));
  agent->runOnce();
  EXPECT_FALSE(agent->run->finished);
  EXPECT_TRUE(host.errors.empty());
  EXPECT_TRUE(host.backend.spawns.empty());
  store.deployed.begin()->second->setState(DeployState::kReady);
  agent->runOnce();
  EXPECT_NE(agent->process(), nullptr);
}

TEST_F(LaunchTest, MissingSettingsFileFailsTheStart) {
  auto agent = distributionAgent(adt::makeVersion(5, 2, 6));
  EXPECT_FALSE(start(*agent));
  EXPECT_EQ(agent->stopReason, "Не найден dorvi.conf");
  const std::string verDir = store.deployed.begin()->second->directory();
  // The command line built so far is in the log.
  EXPECT_TRUE(logs.has(adt::LOG_ERR, "Не найден dorvi.conf\ndir: " + home + "\ncmd: " + verDir +
                                         "/dorvi --log " + home + "/log/a1/a1.log"));
}

TEST_F(LaunchTest, SystemFailuresAreNotifiedOncePerFiveMinutes) {
  host.backend.spawnError = 2;
  Agent agent(host, section());
  EXPECT_FALSE(start(agent));
  const std::string text = "Ошибка запуска агента \"A\" => " + platform::systemErrorText(2);
  EXPECT_EQ(agent.stopReason, text);
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].details, text);

  // Started again by hand within five minutes: logged, not notified.
  host.fakeClock.advance(299999);
  agent.runOnce();  // clean-up
  EXPECT_FALSE(start(agent));
  EXPECT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(logs.count(text + "\ndir: " + home + "\ncmd: /opt/agent/run --am-key " + key +
                       " --agentid \"a1\" --name \"A\"" + tail()),
            2u);
  host.fakeClock.advance(1);
  agent.runOnce();
  EXPECT_FALSE(start(agent));
  EXPECT_EQ(host.errors.size(), 2u);

  // A start from the console is not notified at all.
  host.fakeClock.advance(400000);
  agent.runOnce();
  agent.agentStartProcess("запрос vevureroz(10.0.0.1)", true);
  agent.runOnce();
  EXPECT_TRUE(agent.run->finished);
  EXPECT_EQ(host.errors.size(), 2u);
}

TEST_F(LaunchTest, VersionSelectionTakesTheHighestUsableInRange) {
  host.store = &store;
  const uint32_t v510 = adt::makeVersion(5, 1, 10), v523 = adt::makeVersion(5, 2, 3),
                 v527 = adt::makeVersion(5, 2, 7), v529 = adt::makeVersion(5, 2, 9),
                 v530 = adt::makeVersion(5, 3, 0);
  store.entries = {{v510, false}, {v529, false}, {v523, false}, {v527, true}, {v530, false}};
  store.deployed[v529] = std::make_shared<testing::FakeVersion>(v529, home, DeployState::kFailed);
  config::AgentConf c = section();
  c.args = "--x";
  c.verMax = adt::makeVersion(5, 2, 65535);
  Agent agent(host, c);
  agent.runOnce();
  ASSERT_TRUE(agent.version);
  EXPECT_EQ(agent.version->number(), v523);
  EXPECT_EQ(store.deployCalls, std::vector<uint32_t>{v523});
  EXPECT_EQ(agent.storeGeneration, store.gen);

  // Same generation: no new selection, even though the list changed.
  store.entries.push_back({adt::makeVersion(5, 2, 8), false});
  agent.runOnce();
  EXPECT_EQ(agent.version->number(), v523);

  // An archive the store calls unusable still serves when a deployed copy exists.
  store.deployed[v527] = std::make_shared<testing::FakeVersion>(v527, home, DeployState::kReady);
  store.entries.pop_back();
  ++store.gen;
  agent.runOnce();
  EXPECT_EQ(agent.version->number(), v527);
  EXPECT_EQ(store.deployCalls.size(), 1u);

  // Without args the version is let go.
  agent.conf.args.clear();
  agent.runOnce();
  EXPECT_FALSE(agent.version);
}

}  // namespace
}  // namespace agents
