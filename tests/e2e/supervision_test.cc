// Agent supervision with real processes: build/am supervising build/demo-agent. Starting,
// linking, soft stops, kills, unexpected ends, sigstop and leak-free agents.
#include <gtest/gtest.h>

#include <ctime>
#include <set>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Child;

// A home with a copy of am and settings naming demo agents; am runs in console mode.
class Supervision : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.ready()); }

  std::string agentCmd(const std::string& options = "") const {
    return AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 500 " + options;
  }
  void start(const std::string& agents) {
    home_.writeIni(agents);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
  }
  std::string log() const { return testsupport::readFile(home_.file("log/am.log")); }
  // Pids named in "...агент "<name>" (pid:<pid>) запущен" lines (Windows-1251 in the file, so
  // read from the console echo, which is UTF-8).
  std::vector<int> agentPids() { return home_.agentPids(); }
  static bool alive(int pid) { return testsupport::processAlive(pid); }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  Child* am_ = nullptr;
};

TEST_F(Supervision, AgentStartsReportsAndStopsSoftlyOnQ) {
  start("[agent]\nid=a1\nname=Alpha\nrun_at_least_once=1\ncmd=" + agentCmd() + "\n");
  ASSERT_TRUE(am_->waitForOutput("агент \"Alpha\" (pid:", 30s)) << am_->output();
  ASSERT_TRUE(am_->waitForOutput(") запущен (версия: 5.2.400)", 30s)) << am_->output();
  const std::vector<int> pids = agentPids();
  ASSERT_FALSE(pids.empty());
  const int pid = pids.front();
  EXPECT_TRUE(alive(pid));

  am_->write("q\n");
  ASSERT_TRUE(am_->waitExit(60s)) << am_->output();
  EXPECT_EQ(am_->exitCode(), 0);
  EXPECT_NE(am_->output().find("\"Alpha\" (pid:" + std::to_string(pid) + ") остановлен"),
            std::string::npos)
      << am_->output();
  EXPECT_TRUE(testsupport::waitUntil([&] { return !alive(pid); }, 10s));
}

TEST_F(Supervision, UnexpectedExitIsLoggedWithTheLastOutput) {
  start("[agent]\nname=Crashy\nrun_at_least_once=1\ncmd=" + agentCmd("--demo-crash-after 300") +
        "\n");
  ASSERT_TRUE(am_->waitForOutput("Неожиданная остановка агента \"Crashy\" (pid:", 30s))
      << am_->output();
  // The demo agent's own output lines are the last words.
  EXPECT_NE(am_->output().find("Последки:"), std::string::npos) << am_->output();
}

TEST_F(Supervision, SigstopStopsTheManagerAndKillsAnAgentThatIgnoresStops) {
  start("[agent]\nname=Stubborn\nrun_at_least_once=1\ncmd=" + agentCmd("--demo-ignore-stop") +
        "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  const int pid = agentPids().front();

  // #sigstop run from the same home reads agent_port from its settings.
  const auto r = testsupport::run({home_.file("am"), "#sigstop"}, "", 60s);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_TRUE(am_->waitExit(90s)) << am_->output();
  EXPECT_EQ(am_->exitCode(), 0);
  const std::string out = am_->output();
  EXPECT_NE(out.find("Остановка AM, причина: sigstop"), std::string::npos) << out;
  for (const char* step : {"1. AgentProcess::kill readPipe", "2. AgentProcess::kill terminate",
                           "4. AgentProcess::kill finished"}) {
    EXPECT_NE(out.find(step), std::string::npos) << step;
  }
  // Killed at the stop's time-out: by the stop sweep or by the agent's own stop request,
  // whichever looks first once the time is up.
  EXPECT_TRUE(out.find("убит, причина: не успел остановиться сам (") != std::string::npos ||
              out.find("убит, причина: процесс агента не реагирует на ARQ_TERMINATE_AGENT (") !=
                  std::string::npos)
      << out;
  EXPECT_TRUE(testsupport::waitUntil([&] { return !alive(pid); }, 10s));
}

TEST_F(Supervision, AgentsInheritNoDescriptorOfTheManager) {
  start("[agent]\nname=Fds\nrun_at_least_once=1\ncmd=" + agentCmd() + "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  const std::set<std::string> manager = testsupport::socketsOf(am_->pid());
  ASSERT_GE(manager.size(), 2u);  // the client and agent listeners at least
  const std::set<std::string> agent = testsupport::socketsOf(agentPids().front());
  for (const std::string& inode : agent) {
    EXPECT_EQ(manager.count(inode), 0u) << "the agent holds the manager's socket " << inode;
  }
}

TEST_F(Supervision, ScheduledAgentStartsWithinItsWindow) {
  // Due all day but the last minute.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  if (local.tm_hour == 23 && local.tm_min >= 58) GTEST_SKIP() << "outside the window";
  start("[agent]\nname=Timed\nsched=0h-23h59m\ncmd=" + agentCmd() + "\n");
  ASSERT_TRUE(am_->waitForOutput("агент \"Timed\" (pid:", 30s)) << am_->output();
}

}  // namespace
