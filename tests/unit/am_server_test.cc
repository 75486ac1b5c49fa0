// AMServer in-process: start-up from a settings file, the periodic memory sample and warning,
// the statistics ring, console commands and the stop of the listeners.
#include "server/am_server.h"

#include <gtest/gtest.h>

#include "adt/exception.h"
#include "adt/log.h"
#include "child.h"
#include "fake_clock.h"
#include "log_recorder.h"

namespace server {
namespace {

using testsupport::TempDir;

using FakeClock = testsupport::FixedDayClock;

class AMServerTest : public ::testing::Test {
 protected:
  bool logged(const std::string& needle) { return log_.contains(needle); }

  std::unique_ptr<AMServer> start(const std::string& extra) {
    const std::string ini = dir_.file("am.ini");
    testsupport::writeFile(ini, "[common]\nclient_port=" + std::to_string(testsupport::freePort()) +
                                    "\nagent_port=" + std::to_string(testsupport::freePort()) +
                                    "\n" + extra);
    AMServer::Options options;
    options.modulePath = dir_.file("am");
    options.clock = &clock_;
    return std::make_unique<AMServer>(ini, options);
  }

  testsupport::LogRecorder log_;
  TempDir dir_;
  FakeClock clock_;
};

TEST_F(AMServerTest, StartUpKeepsTheFirstOfRepeatedAgentsAndDerivesPaths) {
  auto s = start(
      "[agent]\nid=1\nname=A\ncmd=/bin/a\n[agent]\nid=1\nname=B\n[agent]\nname=C\n"
      "[agent]\nname=C\ncmd=/bin/other\n");
  ASSERT_NE(s->findAgent("1", ""), nullptr);
  EXPECT_EQ(s->findAgent("1", "")->conf.name, "A");
  EXPECT_EQ(s->findAgent("", "B"), nullptr);
  EXPECT_EQ(s->findAgent("", "C")->conf.cmd, "");
  EXPECT_EQ(s->paths().home, dir_.path());
  EXPECT_EQ(s->paths().agentUpdates, dir_.path() + "/updates/agents");
  EXPECT_EQ(s->installationKey(), adt::crc64we(dir_.path()));
  EXPECT_TRUE(logged("no admin-user configured, using default"));
  EXPECT_FALSE(s->portAllocationEnabled());

  adt::String out;
  s->consoleCommand("a", out);
  EXPECT_EQ(out, "A\nid = 1\ncmd = /bin/a\nC\ncmd = \n");
  EXPECT_THROW(s->consoleCommand("", out), adt::Exception);
  try {
    s->consoleCommand("zz", out);
  } catch (const adt::Exception& e) {
    EXPECT_STREQ(e.what(), "неизвестная команда \"zz\"");
  }
}

TEST_F(AMServerTest, APortIsInUseOnlyByAnotherAgentWithACurrentRun) {
  auto s = start(
      "[agent]\nid=7\nname=A\nclient_port=6001\nhttp_port=6002\ncmd=/bin/a\n"
      "[agent]\nname=B\nclient_port=6101\ncmd=/bin/b\n");
  adt::String description;
  EXPECT_FALSE(s->findRunningAgent("New", "", 6001, description));  // A has no run
  // A start requested (performed on the next supervision pass) is a current run.
  s->findAgent("7", "")->agentStartProcess("test", false);
  ASSERT_TRUE(s->findRunningAgent("New", "", 6001, description));
  EXPECT_EQ(description, "A(id: 7,client_port: 6001)");
  ASSERT_TRUE(s->findRunningAgent("New", "", 6002, description));
  EXPECT_EQ(description, "A(id: 7,http_port: 6002)");
  EXPECT_FALSE(s->findRunningAgent("A", "7", 6001, description));  // its own port
  // The same name with another id is another agent.
  EXPECT_TRUE(s->findRunningAgent("A", "", 6001, description));
  EXPECT_FALSE(s->findRunningAgent("New", "", 6101, description));  // B does not run
  EXPECT_FALSE(s->findRunningAgent("New", "", 6003, description));
}

TEST_F(AMServerTest, ReadWriteUserMeansNoDefaultAdministratorAndRangesEnableAllocation) {
  auto s = start("client_ports=6000:6010\n[user]\nname=boss\npermissions=rw\n");
  EXPECT_FALSE(logged("no admin-user configured"));
  EXPECT_TRUE(s->portAllocationEnabled());
}

TEST_F(AMServerTest, MemorySampleEveryFiveSecondsAndOneWarningPerHour) {
  auto s = start("warn.memory.percent=0\n");  // any machine is above 0 %
  s->periodicStep();
  ASSERT_EQ(s->statistics().size(), 1u);
  EXPECT_GT(s->statistics().at(0).totalBytes, 0u);
  EXPECT_DOUBLE_EQ(s->statistics().at(0).time, 46000.5);
  EXPECT_GE(s->statistics().at(0).processors, 1u);
  EXPECT_TRUE(logged("Предупреждение AM: на сервере использовано "));
  EXPECT_TRUE(logged("на данный момент выделено "));

  clock_.now += 5000;  // not strictly more than 5 s
  s->periodicStep();
  EXPECT_EQ(s->statistics().size(), 1u);
  clock_.now += 1;
  log_.clear();
  s->periodicStep();
  EXPECT_EQ(s->statistics().size(), 2u);
  EXPECT_FALSE(logged("Предупреждение AM"));  // within the hour: no second warning
  clock_.now += 3600001;
  s->periodicStep();
  EXPECT_TRUE(logged("Предупреждение AM"));
}

TEST(ServerStatisticsRing, GrowsWithItsSamplesThenOverwritesTheOldest) {
  ServerStatistics ring;
  const auto append = [&ring](size_t i) {
    ServerSample sample;
    sample.time = static_cast<double>(i);
    ring.append(sample);
  };
  for (size_t i = 0; i < 10; ++i) append(i);
  EXPECT_EQ(ring.size(), 10u);
  EXPECT_LE(ring.capacity(), 16u);  // not the whole ring for ten samples
  EXPECT_DOUBLE_EQ(ring.at(0).time, 0.0);
  EXPECT_DOUBLE_EQ(ring.at(9).time, 9.0);

  // Twice round and a bit: always the newest kSamples, oldest first, in a ring of kSamples.
  const size_t total = 2 * ServerStatistics::kSamples + 3;
  for (size_t i = 10; i < total; ++i) append(i);
  EXPECT_EQ(ring.size(), ServerStatistics::kSamples);
  EXPECT_EQ(ring.capacity(), ServerStatistics::kSamples);
  const double first = static_cast<double>(total - ServerStatistics::kSamples);
  for (size_t i = 0; i < ServerStatistics::kSamples; ++i) {
    ASSERT_DOUBLE_EQ(ring.at(i).time, first + static_cast<double>(i)) << i;
  }
}

TEST(ServerStatisticsRing, ProcessorLoadCountsBusyProcessorsPerWindow) {
  const double minute = 1.0 / 1440;
  const double now = 46000.5;
  ServerStatistics ring;
  const auto add = [&](double minutesAgo, double idle, uint32_t processors) {
    ServerSample sample;
    sample.time = now - minutesAgo * minute;
    sample.idleSeconds = idle;
    sample.processors = processors;
    ring.append(sample);
  };
  add(20, 0, 4);      // outside every window
  add(14, 0, 8);      // another processor count: taken on another machine state, skipped
  add(12, 1000, 4);   // oldest of the 15-minute window
  add(4.5, 2000, 4);  // oldest of the 5-minute window
  add(0.5, 2100, 4);  // the only one inside the last minute
  add(0, 2130, 0);    // the system could not tell: skipped
  platform::ProcessorTimes current;
  current.processors = 4;
  current.idleSeconds = 2160;  // 60 s of idle time in the last 30 s: 2 of 4 processors idle
  double load[3];
  ASSERT_TRUE(processorLoad(ring, now, current, load));
  EXPECT_NEAR(load[0], 2.0, 1e-6);
  EXPECT_NEAR(load[1], 4 - 160.0 / 270, 1e-6);
  EXPECT_NEAR(load[2], 4 - 1160.0 / 720, 1e-6);

  // Idle time that grew faster than the processors allow (a counter glitch) reads as 0 busy,
  // and nothing inside a window reads as -1.
  current.idleSeconds = 9000;
  ASSERT_TRUE(processorLoad(ring, now, current, load));
  EXPECT_EQ(load[0], 0);
  ASSERT_FALSE(processorLoad(ring, now + 30 * minute, current, load));
  EXPECT_EQ(load[0], -1);
  EXPECT_EQ(load[2], -1);
  ServerStatistics empty;
  EXPECT_FALSE(processorLoad(empty, now, current, load));

  // The reading of the machine itself is plausible.
  platform::ProcessorTimes machine;
  ASSERT_TRUE(platform::readProcessorTimes(machine));
  EXPECT_GE(machine.processors, 1u);
  EXPECT_GE(machine.idleSeconds, 0.0);
}

TEST_F(AMServerTest, StopClosesTheClientListener) {
  auto s = start("");
  adt::String out;
  s->consoleCommand("s", out);
  EXPECT_NE(out.find("channels: 2\n"), std::string::npos) << out;
  s->serverStop("test", false, 10000);
  EXPECT_FALSE(s->clientListenerOpen());
  EXPECT_TRUE(logged("Остановка AM, причина: test"));
}

TEST_F(AMServerTest, PortInUseEndsStartUpWithTheSocketError) {
  auto first = start("");
  const std::string ini = dir_.file("am.ini");
  AMServer::Options options;
  options.clock = &clock_;
  try {
    AMServer second(ini, options);
    FAIL() << "the second server must not start";
  } catch (const adt::SocketException& e) {
    EXPECT_NE(std::string(e.what()).find("Address already in use"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace server
