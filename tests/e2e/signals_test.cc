// Stop signals with real processes: build/am in console mode supervising build/demo-agent.
// SIGTERM (what a service manager sends) and SIGINT (Ctrl-C) stop the manager in order, with
// its agents, and say why.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;

class StopSignals : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    ::setenv("AM_PASSWORD", "", 1);
  }
  // Two agents: one stops when asked, one ignores soft stops and must be killed.
  void start() {
    home_.writeIni("[agent]\nid=s1\nname=Polite\nsched=0h-*/24h\ncmd=" AM_BUILD_DIR
                   "/demo-agent\n"
                   "[agent]\nid=s2\nname=Stubborn\nsched=0h-*/24h\ncmd=" AM_BUILD_DIR
                   "/demo-agent --demo-ignore-stop\n");
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
    ASSERT_TRUE(testsupport::waitUntil([&] { return home_.agentPids().size() >= 2; }, 60s))
        << am_->output();
  }

  // The pid of the agent named `name`, from the console output; 0 when not there.
  int pidOf(const std::string& name) {
    const std::string out = am_->output();
    const std::string key = "агент \"" + name + "\" (pid:";
    const size_t at = out.find(key);
    return at == std::string::npos ? 0 : std::atoi(out.c_str() + at + key.size());
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  testsupport::Child* am_ = nullptr;
};

TEST_P(StopSignals, StopTheManagerAndEveryAgentInOrder) {
  start();
  const std::vector<int> pids = {pidOf("Polite"), pidOf("Stubborn")};
  ASSERT_GT(pids[0], 0);
  ASSERT_GT(pids[1], 0);
  const std::string name = GetParam() == SIGTERM ? "SIGTERM" : "SIGINT";
  am_->kill(GetParam());
  ASSERT_TRUE(am_->waitExit(90s)) << am_->output();
  EXPECT_EQ(am_->exitCode(), 0) << am_->output();
  const std::string out = am_->output();
  EXPECT_NE(out.find("получен сигнал " + name + ": остановка AM"), std::string::npos) << out;
  EXPECT_NE(out.find("Остановка AM, причина: сигнал " + name), std::string::npos) << out;
  // The stubborn one is killed once the stop time is over, not left behind.
  EXPECT_NE(out.find("агент \"Stubborn\" (pid:" + std::to_string(pids[1]) + ") убит"),
            std::string::npos)
      << out;
  for (int pid : pids) {
    EXPECT_TRUE(testsupport::waitUntil([&] { return !testsupport::processAlive(pid); }, 30s))
        << "agent " << pid << " outlived the manager\n"
        << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignals, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return std::string(p.param == SIGTERM ? "Term" : "Int");
                         });

}  // namespace
