// Agents kept running by an all-day schedule, with real processes: build/am supervising
// build/demo-agent. A hung task stops the agent once per hang (not in a loop), a killed agent is
// back as a new process, and an agent that writes megabytes to its output keeps running while
// its output log holds the end of what it wrote.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>

#include "adt/text.h"
#include "am_home.h"

namespace {

using namespace std::chrono_literals;

// Due all day: the start is today at 0 h, the window one day long.
constexpr char kAllDay[] = "sched=0h-*/24h\n";

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class KeepRunning : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    // The default administrator (no [user] sections): the empty name, the empty password.
    ::setenv("AM_PASSWORD", "", 1);
  }
  void start(const std::string& options, const std::string& common = "") {
    home_.writeIni(std::string("[agent]\nid=k1\nname=Keeper\n") + kAllDay +
                       "cmd=" AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 200 " + options + "\n",
                   common);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
    ASSERT_TRUE(am_->waitForOutput(") запущен", 60s)) << am_->output();
  }
  testsupport::RunResult runAmctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {AM_BUILD_DIR "/amctl", "--port",
                                     std::to_string(home_.clientPort), "--user", ""};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, "", 60s);
  }
  std::string amctl(const std::vector<std::string>& args) {
    const testsupport::RunResult r = runAmctl(args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  testsupport::Child* am_ = nullptr;
};

TEST_F(KeepRunning, HungTaskStopsTheAgentOncePerHangNotInALoop) {
  // long_operation_timeout=0 (minutes): hung once the pulse stood still over three telemetries
  // of 1 s, that is about 2 s after the process's start.
  start("--demo-stuck-task --demo-telemetry-ms 1000", "long_operation_timeout=0\n");
  const std::string stop = "таймаут(60000мс), причина: зависание задачи:\n";
  const std::string started = ") запущен";
  ASSERT_TRUE(testsupport::waitUntil([&] { return count(am_->output(), stop) >= 1; }, 120s))
      << am_->output();
  ASSERT_TRUE(testsupport::waitUntil([&] { return count(am_->output(), started) >= 2; }, 60s))
      << am_->output();
  const auto secondStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(testsupport::waitUntil([&] { return count(am_->output(), stop) >= 3; }, 120s))
      << am_->output();
  const auto thirdStop = std::chrono::steady_clock::now();
  // Each new process stands still on its own before it is stopped, rather than inheriting the
  // old marks and being stopped right after its start report.
  EXPECT_GE(thirdStop - secondStart, 3000ms) << am_->output();
  const std::string out = am_->output();
  EXPECT_LE(count(out, stop), count(out, started)) << out;
  // Every stop names a standstill of its own process (about two telemetries), not one that
  // grows from run to run.
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    at = out.find(stop, at);
    ASSERT_NE(at, std::string::npos);
    const size_t hang = out.find("blocked, hang:", at);
    ASSERT_NE(hang, std::string::npos) << out.substr(at, 400);
    EXPECT_LT(std::stoll(out.substr(hang + 14)), 3000) << out.substr(at, 400);
    at = hang;
  }
}

TEST_F(KeepRunning, KilledAgentIsBackAsANewProcessAndTheEndNamesTheSignal) {
  start("");
  const int first = home_.agentPids().back();
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  const std::string reason = "процесс завершён сигналом 9 (SIGKILL)";
  ASSERT_TRUE(am_->waitForOutput(reason, 60s)) << am_->output();
  ASSERT_TRUE(testsupport::waitUntil([&] { return count(am_->output(), ") запущен") >= 2; }, 60s))
      << am_->output();
  const int second = home_.agentPids().back();
  EXPECT_NE(second, first);
  EXPECT_TRUE(testsupport::processAlive(second));
  EXPECT_NE(am_->output().find(
                "Неожиданная остановка агента \"Keeper\" (pid:" + std::to_string(first) + ")"),
            std::string::npos);
}

TEST_F(KeepRunning, AgentWritingTenMegabytesKeepsRunningAndItsOutputLogHoldsTheEnd) {
  start("--demo-output-bytes 10000000");
  const int pid = home_.agentPids().back();
  const std::string file = home_.file("log/k1/k1.out");
  // The line after the bulk output is written only once everything before it was read.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        return testsupport::readFile(file).find("bulk output done: 10000000 bytes") !=
               std::string::npos;
      },
      120s))
      << am_->output();
  EXPECT_TRUE(testsupport::processAlive(pid));
  EXPECT_EQ(home_.agentPids().back(), pid) << am_->output();
  // Telemetry still arrives: the agent's loop is not stuck in a write.
  EXPECT_FALSE(amctl({"threads", "Keeper"}).empty());
  // amctl reads the end of the same file through the manager.
  const std::string tail = amctl({"log", "Keeper", "--output", "4096"});
  EXPECT_NE(tail.find("bulk output line"), std::string::npos) << tail;
  EXPECT_NE(tail.find("bulk output done: 10000000 bytes"), std::string::npos) << tail;
  EXPECT_LE(tail.size(), 4096u);
  const std::string byId = amctl({"log", "id:k1", "--output", "100"});
  EXPECT_EQ(byId.size(), 100u) << byId;
  // The manager's own log is readable the same way.
  EXPECT_NE(amctl({"log", "log/am.log", "100000"}).find("Запуск агента \"Keeper\""),
            std::string::npos);
  // Nothing outside the log directories, whatever the path says: not the password store, not
  // the settings (administrators read those through the settings request).
  for (const char* name : {"am.sec", "log/../am.sec", "log\\..\\am.sec", "am.ini", "./am.ini",
                           "log/k1/../../am.sec"}) {
    const testsupport::RunResult refused = runAmctl({"log", name, "100"});
    EXPECT_EQ(refused.exitCode, 8) << name << ": " << refused.output;
    EXPECT_NE(refused.output.find("Абсолютные пути запрещены"), std::string::npos)
        << refused.output;
  }
}

}  // namespace
