// Health checks with real processes: build/am watching build/demo-agent that misbehaves on
// purpose. A hung task answered by a ping, a hung task whose probe goes unanswered, time spent in
// garbage collection, and an agent that falls silent.
#include <gtest/gtest.h>

#include "adt/text.h"
#include "platform/clock.h"
#include "am_home.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Child;

class Health : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.ready()); }

  // `common`: extra [common] lines; `options`: demo agent options.
  void start(const std::string& common, const std::string& options) {
    home_.writeIni("[agent]\nid=a1\nname=Alpha\nrun_at_least_once=1\ncmd=" AM_BUILD_DIR
                   "/demo-agent --demo-telemetry-ms 200 " +
                       options + "\n",
                   common);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
    ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  }
  std::vector<int> agentPids() { return home_.agentPids(); }
  static bool alive(int pid) { return testsupport::processAlive(pid); }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  Child* am_ = nullptr;
};

// long_operation_timeout=0: a task whose pulse stands still on two telemetries in a row is hung.
TEST_F(Health, HungTaskWithAClientIsPingedAndTheAnswerIsLogged) {
  start("long_operation_timeout=0\n", "--demo-stuck-task --demo-clients 1");
  const int pid = agentPids().front();
  ASSERT_TRUE(am_->waitForOutput("Пингую агент \"Alpha\", причина: зависание задачи:\nid:2,", 30s))
      << am_->output();
  const std::string answered =
      "...агент \"Alpha\" (pid:" + std::to_string(pid) + "): отвечает на пинг";
  ASSERT_TRUE(am_->waitForOutput(answered, 30s)) << am_->output();
  // The hung line carries its stack, the dictionary names the operation.
  const std::string out = am_->output();
  EXPECT_NE(out.find("contextMessage(зависшая задача (демонстрация))\ndemo::stuckTask()"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("расшифровка:\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Остановка агента"), std::string::npos) << out;
  EXPECT_TRUE(alive(pid));
}

TEST_F(Health, UnansweredHangProbeStopsTheAgent) {
  start("long_operation_timeout=0\n", "--demo-stuck-task --demo-clients 1 --demo-no-ping");
  const int pid = agentPids().front();
  ASSERT_TRUE(am_->waitForOutput("причина: не прошел проверку на зависание задачи (", 60s))
      << am_->output();
  ASSERT_TRUE(am_->waitForOutput("\"Alpha\" (pid:" + std::to_string(pid) + ") остановлен", 60s))
      << am_->output();
  EXPECT_TRUE(testsupport::waitUntil([&] { return !alive(pid); }, 10s));
}

TEST_F(Health, GarbageCollectionShareIsWarnedAndWrittenToThePerformanceLog) {
  start("warn.gc.percent=50\n", "--demo-gc-percent 90");
  ASSERT_TRUE(am_->waitForOutput("Предупреждение AM: агент \"Alpha\" потратил ", 30s))
      << am_->output();
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        return adt::fromCp1251(testsupport::readFile(home_.file("log/am.perf.log")))
                   .find("% времени на сборку мусора из последних ") != std::string::npos;
      },
      10s));
  // One warning an hour at most.
  const std::string out = am_->output();
  const std::string subject = "Предупреждение AM: агент \"Alpha\" потратил ";
  EXPECT_EQ(out.find(subject), out.rfind(subject)) << out;
}

// The telemetry threshold is two minutes; this test waits that long once.
TEST_F(Health, SilentAgentIsStoppedForMissingTelemetry) {
  start("", "--demo-silent-after 0");
  const int pid = agentPids().front();
  ASSERT_TRUE(am_->waitForOutput(
      "\"Alpha\" (pid:" + std::to_string(pid) + ") таймаут(60000мс), причина: нет телеметрии (",
      200s))
      << am_->output();
  ASSERT_TRUE(am_->waitForOutput("\"Alpha\" (pid:" + std::to_string(pid) + ") остановлен", 60s))
      << am_->output();
  EXPECT_NE(am_->output().find("Ошибка в AM: Остановка агента \"Alpha\""), std::string::npos)
      << am_->output();
}

// A restart time a minute or two ahead (real time): the agent is asked to stop with the time in
// the reason; the next client brings it back as a new process, which the same time does not stop
// again.
TEST_F(Health, RestartTimeRestartsTheAgentOnce) {
  // Restart times are counted from the midnight of the day they were armed: a time past
  // midnight would never come, so the last minutes of a day are waited out.
  const auto lateInTheDay = [] {
    const platform::LocalTime t = platform::systemClock().localNow();
    return t.hour == 23 && t.minute >= 57;
  };
  ASSERT_TRUE(testsupport::waitUntil([&] { return !lateInTheDay(); }, 200s));
  platform::LocalTime now = platform::systemClock().localNow();
  // At least 20 s ahead, so the agent is running and armed before the time comes.
  const int ahead = now.second < 40 ? 1 : 2;
  const int minutes = now.hour * 60 + now.minute + ahead;
  const std::string hhmm = adt::format("%02d:%02d", minutes / 60, minutes % 60);
  home_.writeIni("[agent]\nid=a1\nname=Alpha\nrun_at_least_once=1\nrestart_time=" + hhmm +
                     "\ncmd=" AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 500\n",
                 "");
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  am_ = &home_.console();
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  const int first = agentPids().front();
  const std::string reason = "причина: перезапуск по расписанию в " + hhmm;
  ASSERT_TRUE(am_->waitForOutput(reason, 200s)) << am_->output();
  ASSERT_TRUE(am_->waitForOutput("\"Alpha\" (pid:" + std::to_string(first) + ") остановлен", 60s))
      << am_->output();
  const auto connect = testsupport::run(
      {AM_BUILD_DIR "/amctl", "--port", std::to_string(home_.clientPort), "connect", "Alpha"}, "",
      120s);
  EXPECT_EQ(connect.exitCode, 0) << connect.output;
  const std::vector<int> pids = agentPids();
  ASSERT_FALSE(pids.empty()) << am_->output();
  EXPECT_NE(pids.back(), first);
  // The new process is left alone (its restart time was armed after the time): it is not asked
  // to stop again in the next passes.
  EXPECT_FALSE(testsupport::waitUntil(
      [&] {
        const std::string out = am_->output();
        return out.find(reason) != out.rfind(reason);
      },
      5s))
      << am_->output();
  EXPECT_TRUE(alive(pids.back())) << am_->output();
  EXPECT_FALSE(alive(first));
}

}  // namespace
