// The service commands against the fake service manager: results 0/1/2 of start and stop, the
// 300 ms polling and the 20 s limit, every message, safe_unreg's path check, restart's order
// and its leave marker; and the systemd backend's unit file and systemctl command lines.
#include "server/service_control.h"

#include <gtest/gtest.h>

#include <fstream>

#include "adt/exception.h"
#include "adt/log.h"
#include "child.h"
#include "fake_clock.h"
#include "log_recorder.h"
#include "platform/fake_service_manager.h"
#include "platform/process.h"

namespace server {
namespace {

using platform::ServiceState;

constexpr char kExe[] = "/opt/am/am";
const std::string kName = std::string("service \"") + kServiceDisplayName + "\" ";

class ServiceControlTest : public ::testing::Test {
 protected:
  ServiceControlTest()
      : control_(fake_, kExe, clock_, [this](uint32_t ms) {
          sleeps_.push_back(ms);
          clock_.now += ms;
        }) {}
  void installRunning() {
    fake_.installed = true;
    fake_.definition.executable = kExe;
    fake_.state = ServiceState::kRunning;
  }

  testsupport::LogRecorder log_;
  testsupport::ManualClock clock_;
  platform::FakeServiceManager fake_;
  std::vector<uint32_t> sleeps_;
  ServiceControl control_;
};

TEST_F(ServiceControlTest, RegisterWritesTheDefinitionAndSaysSo) {
  EXPECT_TRUE(control_.registerService());
  EXPECT_TRUE(fake_.installed);
  EXPECT_EQ(fake_.definition.name, "dvx_am");
  EXPECT_EQ(fake_.definition.executable, kExe);
  EXPECT_EQ(fake_.definition.directory, "/opt/am");
  EXPECT_EQ(fake_.definition.description, "Orvo agent manager (learning edition)  (v. 5.2.430)");
  EXPECT_GT(fake_.definition.stopLimitSeconds, 40u);
  EXPECT_TRUE(log_.contains(kName + "registered", adt::LOG_INFO));
}

TEST_F(ServiceControlTest, StartPollsEvery300msUntilRunning) {
  fake_.installed = true;
  fake_.settleAfterQueries = 3;
  EXPECT_EQ(control_.start(), kReached);
  EXPECT_EQ(sleeps_, std::vector<uint32_t>(3, 300));
  EXPECT_EQ(fake_.state, ServiceState::kRunning);
}

TEST_F(ServiceControlTest, StartResultsAndMessages) {
  fake_.installed = true;
  EXPECT_TRUE(control_.startService());
  EXPECT_TRUE(log_.contains(kName + "started", adt::LOG_INFO));
  // Running already: nothing is requested, and that is no failure.
  fake_.calls.clear();
  EXPECT_EQ(control_.start(), kNothingToDo);
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_TRUE(control_.startService());
  EXPECT_TRUE(log_.contains(kName + "already started", adt::LOG_WARN));
}

TEST_F(ServiceControlTest, AServiceThatNeverStartsTimesOutAfter20s) {
  fake_.installed = true;
  fake_.settleAfterQueries = -1;
  const uint64_t t0 = clock_.now;
  EXPECT_FALSE(control_.startService());
  EXPECT_TRUE(log_.contains(kName + "start timeout"));
  // Gave up just past the limit, not before and not much later.
  EXPECT_GT(clock_.now - t0, ServiceControl::kWaitLimitMs);
  EXPECT_LE(clock_.now - t0, ServiceControl::kWaitLimitMs + ServiceControl::kPollMs);
}

TEST_F(ServiceControlTest, StopResultsAndMessages) {
  installRunning();
  EXPECT_TRUE(control_.stopService());
  EXPECT_TRUE(log_.contains(kName + "stopped", adt::LOG_INFO));
  EXPECT_EQ(control_.stop(), kNothingToDo);
  EXPECT_TRUE(control_.stopService());
  EXPECT_TRUE(log_.contains(kName + "already stopped", adt::LOG_WARN));
  installRunning();
  fake_.settleAfterQueries = -1;
  EXPECT_FALSE(control_.stopService());
  EXPECT_TRUE(log_.contains(kName + "stop timeout"));
}

TEST_F(ServiceControlTest, FailuresNameTheOperation) {
  // Not registered: the command fails rather than waiting for a service that is not there.
  try {
    control_.start();
    FAIL() << "no exception";
  } catch (const adt::Exception& e) {
    EXPECT_NE(std::string(e.text()).find("OpenService"), std::string::npos) << e.text();
  }
  fake_.installed = true;
  fake_.failure = "Access denied";
  try {
    control_.registerService();
    FAIL() << "no exception";
  } catch (const adt::Exception& e) {
    EXPECT_EQ(std::string(e.text()), "RegisterService:CreateService: Access denied");
  }
  EXPECT_THROW(control_.stop(), adt::Exception);
}

TEST_F(ServiceControlTest, UnregisterStopsThenRemoves) {
  installRunning();
  EXPECT_TRUE(control_.unregisterService(false));
  EXPECT_FALSE(fake_.installed);
  EXPECT_EQ(fake_.calls, (std::vector<std::string>{"stop", "remove"}));
  EXPECT_EQ(log_.texts(adt::LOG_INFO, kName),
            (std::vector<std::string>{kName + "stopped", kName + "unregistered"}));
}

TEST_F(ServiceControlTest, UnregisterKeepsAServiceThatDoesNotStop) {
  installRunning();
  fake_.settleAfterQueries = -1;
  EXPECT_FALSE(control_.unregisterService(false));
  EXPECT_TRUE(fake_.installed);
  EXPECT_TRUE(log_.contains(kName + "stop timeout"));
  EXPECT_FALSE(log_.contains("unregistered"));
}

TEST_F(ServiceControlTest, SafeUnregisterLeavesAnotherInstallationAloneSilently) {
  installRunning();
  fake_.definition.executable = "/opt/other/am";
  EXPECT_FALSE(control_.unregisterService(true));
  EXPECT_TRUE(fake_.installed);
  EXPECT_EQ(fake_.state, ServiceState::kRunning);
  EXPECT_TRUE(log_.lines().empty());
  // Paths differ in case only: two installations on this file system.
  fake_.definition.executable = "/OPT/AM/AM";
  EXPECT_FALSE(control_.unregisterService(true));
  EXPECT_TRUE(fake_.installed);
  // Its own registration goes.
  fake_.definition.executable = kExe;
  EXPECT_TRUE(control_.unregisterService(true));
  EXPECT_FALSE(fake_.installed);
}

TEST_F(ServiceControlTest, RestartHoldsTheLeaveMarkerWhileItStopsAndStarts) {
  installRunning();
  const uint64_t key = installationKeyOf(std::string(::testing::TempDir()) + "restart-test/am");
  std::vector<bool> markerSeen;
  platform::FakeServiceManager& fake = fake_;
  ServiceControl control(fake, kExe, clock_, [&](uint32_t ms) {
    markerSeen.push_back(platform::leaveMarkerExists(key));
    clock_.now += ms;
  });
  EXPECT_TRUE(restartService(control, key));
  EXPECT_EQ(fake_.calls, (std::vector<std::string>{"stop", "start"}));
  ASSERT_FALSE(markerSeen.empty());
  for (bool seen : markerSeen) EXPECT_TRUE(seen);
  EXPECT_FALSE(platform::leaveMarkerExists(key));  // let go afterwards
}

TEST_F(ServiceControlTest, RestartDoesNotStartWhenTheStopFailed) {
  installRunning();
  fake_.settleAfterQueries = -1;
  EXPECT_FALSE(restartService(control_, installationKeyOf("/opt/am/am")));
  EXPECT_EQ(fake_.calls, (std::vector<std::string>{"stop"}));
}

TEST(SystemdBackend, CommandLinesAndUnitFile) {
  testsupport::TempDir dir;
  std::vector<std::vector<std::string>> commands;
  std::string answer;
  auto manager = platform::makeSystemdServiceManager(
      dir.path(), [&](const std::vector<std::string>& args, std::string& out) {
        commands.push_back(args);
        out = answer;
        return 0;
      });
  platform::ServiceDefinition d{"dvx_am", "Orvo", "/opt/my am/am", "/opt/my am", 60};
  std::string error;
  ASSERT_TRUE(manager->install(d, error)) << error;
  const std::string unit = testsupport::readFile(dir.file("dvx_am.service"));
  EXPECT_EQ(unit, platform::systemdUnitText(d));
  for (const char* line : {"Type=notify\n", "ExecStart=\"/opt/my am/am\"\n", "KillMode=process\n",
                           "TimeoutStopSec=60\n", "Restart=on-failure\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line << " in\n" << unit;
  }
  std::string exe;
  ASSERT_TRUE(manager->installedExecutable("dvx_am", exe, error)) << error;
  EXPECT_EQ(exe, "/opt/my am/am");

  answer = "LoadState=loaded\nActiveState=deactivating\n";
  platform::ServiceState state{};
  ASSERT_TRUE(manager->query("dvx_am", state, error));
  EXPECT_EQ(state, platform::ServiceState::kStopPending);
  answer = "LoadState=not-found\nActiveState=inactive\n";
  ASSERT_TRUE(manager->query("dvx_am", state, error));
  EXPECT_EQ(state, platform::ServiceState::kNotInstalled);
  ASSERT_TRUE(manager->requestStart("dvx_am", error));
  ASSERT_TRUE(manager->requestStop("dvx_am", error));
  ASSERT_TRUE(manager->remove("dvx_am", error));
  EXPECT_FALSE(std::ifstream(dir.file("dvx_am.service")).good());
  using V = std::vector<std::string>;
  EXPECT_EQ(commands,
            (std::vector<V>{
                V{"systemctl", "daemon-reload"},
                V{"systemctl", "enable", "dvx_am.service"},
                V{"systemctl", "show", "--property=LoadState,ActiveState", "dvx_am.service"},
                V{"systemctl", "show", "--property=LoadState,ActiveState", "dvx_am.service"},
                V{"systemctl", "start", "--no-block", "dvx_am.service"},
                V{"systemctl", "stop", "--no-block", "dvx_am.service"},
                V{"systemctl", "disable", "dvx_am.service"},
                V{"systemctl", "daemon-reload"},
            }));
}

TEST(SystemdBackend, UnitVerifies) {
  // systemd-analyze checks the unit as systemd would read it (the program must exist).
  testsupport::TempDir dir;
  const std::string exe = dir.file("am");
  testsupport::writeFile(exe, "#!/bin/sh\n");
  platform::makeExecutable(exe);
  platform::ServiceDefinition d{"dvx_am", serviceDescription(), exe, dir.path(),
                                ServiceControl::kStopLimitSeconds};
  testsupport::writeFile(dir.file("dvx_am.service"), platform::systemdUnitText(d));
  const testsupport::RunResult probe =
      testsupport::run({"/bin/sh", "-c", "command -v systemd-analyze"});
  if (probe.exitCode != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  const testsupport::RunResult r = testsupport::run(
      {"/bin/sh", "-c", "systemd-analyze verify \"$0\" 2>&1", dir.file("dvx_am.service")});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find("dvx_am.service:"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace server
