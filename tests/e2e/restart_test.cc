// A manager restart that keeps its agents, with real processes: build/am in console mode and
// the demo agent deployed as a distribution (so it writes into its own named pipe). The test
// plays the restart command's part: it holds the leave marker while the old manager stops on
// SIGTERM and the new one starts. The agent keeps its pid, the new manager links it without
// starting a second copy and reads its output, twice in a row; a process that only pretends to
// be that agent is not taken over.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <memory>
#include <set>
#include <string>

#include "adt/text.h"
#include "am_home.h"
#include "platform/process.h"
#include "zip_writer.h"

namespace {

using namespace std::chrono_literals;

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::set<int> distinct(const std::vector<int>& pids) { return {pids.begin(), pids.end()}; }

class Restart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    ::setenv("AM_PASSWORD", "", 1);
    ASSERT_EQ(testsupport::run({"/bin/mkdir", "-p", home_.file("updates/agents")}).exitCode, 0);
    const std::string agent = testsupport::readFile(AM_BUILD_DIR "/demo-agent");
    ASSERT_FALSE(agent.empty());
    testsupport::writeFile(home_.file("updates/agents/dorvi-5.2.7-windows-x86_64.zip"),
                           testsupport::zipArchive({{"dorvi", agent}}));
    testsupport::writeFile(home_.file("dor.conf"), "demo settings\n");
    home_.writeIni(
        "[agent]\nid=d1\nname=Dist\nsched=0h-*/24h\nver=5.2\n"
        "args=--demo-version 5.2.7 --demo-telemetry-ms 300\n");
  }
  void TearDown() override {
    if (home_.started() && !home_.console().exited()) home_.stop();
    for (int pid : pids_) {
      if (testsupport::processAlive(pid)) ::kill(pid, SIGKILL);
    }
  }
  uint64_t key() const { return adt::crc64we(home_.path()); }
  // The restart: marker held, SIGTERM to the running manager, a new manager started.
  void restart() {
    std::unique_ptr<platform::LeaveMarker> marker = platform::createLeaveMarker(key());
    ASSERT_TRUE(marker);
    testsupport::Child& old = home_.console();
    old.kill(SIGTERM);
    ASSERT_TRUE(old.waitExit(90s)) << old.output();
    previous_ = old.output();
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  std::vector<int> pids_;
  std::string previous_;  // what the manager before the last restart printed
};

TEST_F(Restart, NamedPipeAgentKeepsRunningAndIsTakenOverTwice) {
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  ASSERT_TRUE(home_.console().waitForOutput(") запущен (версия: 5.2.7)", 60s))
      << home_.console().output();
  ASSERT_EQ(distinct(home_.agentPids()).size(), 1u);
  const int pid = home_.agentPids()[0];
  pids_.push_back(pid);
  const std::string tag = "(pid:" + std::to_string(pid) + ")";

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("restart " + std::to_string(round));
    restart();
    testsupport::Child& am = home_.console();
    ASSERT_TRUE(am.waitForOutput("reattach: id=d1, name=Dist, pid=" + std::to_string(pid), 30s))
        << previous_ << "\n----- new manager:\n"
        << am.output();
    // Linked by its next telemetry; the same process, no second start.
    ASSERT_TRUE(am.waitForOutput(tag + " запущен", 30s)) << am.output();
    EXPECT_TRUE(testsupport::processAlive(pid));
    EXPECT_EQ(count(am.output(), "запускается"), 0u) << am.output();
  }

  // The output still reaches the manager: the stop request the agent logs lands in its log.
  const std::string outFile = home_.file("log/d1/d1.out");
  const size_t before = count(testsupport::readFile(outFile), "stop request (code");
  ASSERT_TRUE(home_.stop());
  EXPECT_TRUE(testsupport::waitUntil([&] { return !testsupport::processAlive(pid); }, 30s));
  EXPECT_GT(count(testsupport::readFile(outFile), "stop request (code"), before)
      << testsupport::readFile(outFile) << "\n----- manager:\n"
      << home_.console().output();
}

TEST_F(Restart, AProcessThatOnlyLooksLikeTheAgentIsNotTakenOver) {
  // A shell whose command line names the agent's program, key, id and name: what a reused pid
  // with a similar command line would look like.
  const std::string dorvi = home_.file("run/5.2.7/dorvi");
  testsupport::Child impostor({"/bin/sh", "-c", "while :; do sleep 0.2; done", dorvi, "--am-key",
                               std::to_string(key()), "--agentid", "d1", "--name", "Dist"});
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  testsupport::Child& am = home_.console();
  ASSERT_TRUE(am.waitForOutput(") запущен (версия: 5.2.7)", 60s)) << am.output();
  for (int p : home_.agentPids()) pids_.push_back(p);
  EXPECT_NE(am.output().find("reattach: pid " + std::to_string(impostor.pid()) +
                             " is not an agent of this installation"),
            std::string::npos)
      << am.output();
  EXPECT_EQ(am.output().find("reattach: id="), std::string::npos) << am.output();
  EXPECT_FALSE(impostor.exited());
  ASSERT_EQ(distinct(home_.agentPids()).size(), 1u);
  EXPECT_NE(home_.agentPids()[0], impostor.pid());
}

}  // namespace
