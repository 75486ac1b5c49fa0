// amctl as an operator uses it: usage errors and the version without a manager, plain words
// when there is none, the port found without --port, and start, restart and status against a
// real build/am with demo agents.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;

testsupport::RunResult amctl(const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {}) {
  // Through env(1), so that the port variables reach this run only.
  std::vector<std::string> argv = {"/usr/bin/env", "-u", "AM_CLIENT_PORT", "AM_PASSWORD="};
  argv.insert(argv.end(), env.begin(), env.end());
  argv.push_back(AM_BUILD_DIR "/amctl");
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::run(argv, "", 90s);
}

TEST(Amctl, UsageVersionAndHelpNeedNoManagerAndNoConnectionIsSaidPlainly) {
  const std::string nobody = std::to_string(testsupport::freeTcpPort());
  const testsupport::RunResult unknown = amctl({"--port", nobody, "frobnicate"});
  EXPECT_EQ(unknown.exitCode, 1) << unknown.output;
  EXPECT_NE(unknown.output.find("неизвестная команда frobnicate"), std::string::npos);

  const testsupport::RunResult version = amctl({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output, "amctl 5.2.430\n");

  const testsupport::RunResult help = amctl({"status", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output.rfind("  status [агент]", 0), 0u) << help.output;
  EXPECT_EQ(help.output.find("updates"), std::string::npos) << help.output;

  const testsupport::RunResult refused = amctl({"--port", nobody, "agents"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.output.find("не удалось подключиться к AM 127.0.0.1:" + nobody +
                                ": соединение отклонено"),
            std::string::npos)
      << refused.output;
  EXPECT_EQ(refused.output.find("handle="), std::string::npos) << refused.output;
  const testsupport::RunResult badEnv = amctl({"agents"}, {"AM_CLIENT_PORT=70000"});
  EXPECT_EQ(badEnv.exitCode, 1) << badEnv.output;
}

class AmctlOnAManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    home_.writeIni("[agent]\nid=w1\nname=Worker\ncmd=" AM_BUILD_DIR
                   "/demo-agent --demo-telemetry-ms 300\n");
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  }
  std::vector<std::string> login() const {
    return {"--port", std::to_string(home_.clientPort), "--user", ""};
  }
  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
};

TEST_F(AmctlOnAManager, StartRestartAndStatusFindTheManagerWithoutAPort) {
  // The port from the environment, then from the settings file named.
  const std::string port = std::to_string(home_.clientPort);
  const testsupport::RunResult viaEnv = amctl({"agents"}, {"AM_CLIENT_PORT=" + port});
  EXPECT_EQ(viaEnv.exitCode, 0) << viaEnv.output;
  EXPECT_NE(viaEnv.output.find("name=\"Worker\""), std::string::npos);
  const testsupport::RunResult viaIni = amctl({"--settings", home_.file("am.ini"), "agents"});
  EXPECT_EQ(viaIni.exitCode, 0) << viaIni.output;
  // ...and from the am.ini beside the first am on PATH.
  const testsupport::RunResult viaPath = amctl({"agents"}, {"PATH=" + home_.path() + ":/usr/bin"});
  EXPECT_EQ(viaPath.exitCode, 0) << viaPath.output;

  std::vector<std::string> args = login();
  args.insert(args.end(), {"--json", "status"});
  testsupport::RunResult status = amctl(args);
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_NE(status.output.find("\"name\":\"Worker\",\"state\":\"остановлен\",\"pid\":0"),
            std::string::npos)
      << status.output;

  args = login();
  args.insert(args.end(), {"start", "Worker"});
  const testsupport::RunResult started = amctl(args);
  ASSERT_EQ(started.exitCode, 0) << started.output;
  EXPECT_NE(started.output.find("port: "), std::string::npos) << started.output;

  args = login();
  args.insert(args.end(), {"status", "Worker"});
  status = amctl(args);
  EXPECT_EQ(status.exitCode, 0) << status.output;
  EXPECT_EQ(status.output.rfind("NAME", 0), 0u) << status.output;
  EXPECT_NE(status.output.find("Worker  работает"), std::string::npos) << status.output;
  EXPECT_NE(status.output.find("5.2.400"), std::string::npos) << status.output;
  const std::vector<int> before = home_.agentPids();
  ASSERT_FALSE(before.empty());

  args = login();
  args.insert(args.end(), {"restart", "Worker"});
  const testsupport::RunResult restarted = amctl(args);
  ASSERT_EQ(restarted.exitCode, 0) << restarted.output;
  EXPECT_TRUE(testsupport::waitUntil([&] { return !testsupport::processAlive(before.back()); }));
  const std::vector<int> after = home_.agentPids();
  ASSERT_FALSE(after.empty());
  EXPECT_NE(after.back(), before.back());
  EXPECT_TRUE(testsupport::processAlive(after.back()));

  args = login();
  args.insert(args.end(), {"status", "Nobody"});
  EXPECT_EQ(amctl(args).exitCode, 5);
}

}  // namespace
