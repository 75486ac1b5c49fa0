// Many real agents under one manager: build/am supervising 50 build/demo-agent processes that
// end by themselves and are started again by their schedule, round after round. What the
// manager holds must not grow with the starts and stops, only with the samples received.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;

constexpr int kAgents = 50;

uint64_t residentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Scale, FiftyAgentsStartedAndStoppedLeaveTheManagersMemoryAsItWas) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  std::string sections;
  for (int i = 0; i < kAgents; ++i) {
    // Kept running by an all-day schedule; each run ends by itself after 6 s.
    sections += "[agent]\nid=s" + std::to_string(i) + "\nname=Scale " + std::to_string(i) +
                "\nsched=0h-*/24h\ncmd=" AM_BUILD_DIR
                "/demo-agent --demo-telemetry-ms 200 --demo-exit-after 6000\n\n";
  }
  home.writeIni(sections);
  ASSERT_TRUE(home.startConsole()) << home.console().output();
  testsupport::Child& am = home.console();
  const auto started = [&] { return count(am.output(), ") запущен (версия"); };

  ASSERT_TRUE(testsupport::waitUntil([&] { return started() >= kAgents; }, 120s))
      << started() << " started\n"
      << am.output().substr(0, 4000);
  const uint64_t before = residentKiB(am.pid());
  ASSERT_GT(before, 0u);

  // Three more rounds of every agent: each run started, linked, sampled and ended.
  ASSERT_TRUE(testsupport::waitUntil([&] { return started() >= 4 * kAgents; }, 180s))
      << started() << " started";
  const uint64_t after = residentKiB(am.pid());
  // Generous: the samples of the rounds (some 30 a run, a few hundred bytes each) and the
  // allocator's own slack, but nothing like a table per agent or per run.
  EXPECT_LT(after, before + 16 * 1024) << "before " << before << " KiB, after " << after << " KiB";

  const std::vector<int> pids = home.agentPids();
  EXPECT_GE(pids.size(), static_cast<size_t>(4 * kAgents));
  ASSERT_TRUE(home.stop()) << am.output();
  EXPECT_EQ(am.exitCode(), 0);
  for (int pid : pids) {
    EXPECT_TRUE(testsupport::waitUntil([&] { return !testsupport::processAlive(pid); }, 10s))
        << pid;
  }
}

}  // namespace
