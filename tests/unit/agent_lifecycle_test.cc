// The life of an agent instance between two starts: link, soft stop, kill, ends expected and
// unexpected, the early-failure hold-off, slow starts, schedules and restart times.
#include <gtest/gtest.h>

#include "adt/exception.h"
#include "agent_test_fakes.h"
#include "agents/amp.h"
#include "child.h"

namespace agents {
namespace {

using testing::FakeHost;

class LifecycleTest : public testing::AgentTest {};

TEST_F(LifecycleTest, StartReportLinksTheProcess) {
  config::AgentConf c = section();
  c.runAtLeastOnce = true;
  Agent agent(host, c);
  agent.runOnce();
  ASSERT_TRUE(agent.run);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "Запуск агента \"A\", причина: runOnce..."));
  EXPECT_EQ(agent.startReason, "runOnce");
  EXPECT_EQ(agent.process(), nullptr);  // Start pending: the launch is the next step
  agent.runOnce();
  AgentProcess& p = *agent.process();
  EXPECT_FALSE(agent.isRunning());

  AgentStartReport report;
  report.pid = p.pid;
  report.hasVersion = true;
  report.version = {5, 2, 7, 1};
  report.hasText2 = true;
  report.text2 = "/var/log/a.log";
  advance(5000);
  AgentAttach& attach = p.attachLink(40001, report);
  EXPECT_EQ(p.link.get(), &attach);
  EXPECT_EQ(attach.port, 40001);
  EXPECT_EQ(attach.reportedVersion(), adt::makeVersion(5, 2, 7));
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "...агент \"A\" (pid:4000) запущен (версия: 5.2.7) (лог: /var/log/a.log)"));
  EXPECT_EQ(agent.load.lastTelemetryTick, now());
  EXPECT_GT(agent.startedTime, 0);
  EXPECT_TRUE(agent.isRunning());
  EXPECT_FALSE(logs.hasPrefix(adt::LOG_WARN, "Длительный запуск"));

  // A bounce drops the link but leaves the process alone.
  p.dropLink();
  EXPECT_EQ(p.link, nullptr);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"A\" (pid:4000) останавливается"));
  EXPECT_FALSE(host.backend.last().terminated);
}

TEST_F(LifecycleTest, LateStartReportIsWarnedAndBarePidReportIsEnough) {
  config::AgentConf c = section();
  c.httpPort = 8080;
  c.httpsPort = 8443;
  Agent agent(host, c);
  agent.syncHttpListeners();
  launch(agent);
  advance(120001);
  link(agent);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"A\" (pid:4000) запущен"));
  EXPECT_TRUE(logs.has(adt::LOG_WARN, "Длительный запуск агента \"A\" [a1] 120001 мс"));
  EXPECT_EQ(agent.process()->link->handoverPending, 0u);  // no version reported

  // Agents from 5.1.64 acknowledge the sockets they take over.
  for (const auto& [version, pending] : std::vector<std::pair<std::array<uint32_t, 4>, uint32_t>>{
           {{5, 1, 63, 0}, 0}, {{5, 0, 900, 0}, 0}, {{5, 1, 64, 0}, 3}, {{5, 2, 100, 0}, 3}}) {
    AgentStartReport report;
    report.hasVersion = true;
    report.version = version;
    AgentAttach attach(*agent.process(), host, 40002, report, true, true);
    EXPECT_EQ(attach.handoverPending, pending) << version[1] << "." << version[2];
  }
}

class Answer final : public AgentCallBack {
 public:
  void agentAnswer(const uint8_t* data, size_t size) override {
    answers.emplace_back(reinterpret_cast<const char*>(data), size);
  }
  std::vector<std::string> answers;
};

TEST_F(LifecycleTest, OnlyTheLatestRequestGetsTheAnswer) {
  Agent agent(host, section());
  launch(agent);
  AgentAttach& attach = link(agent, 40007);
  Answer first, second;
  attach.request(first, amp::kAgentInfo, 0);
  attach.request(second, amp::kStatistics, 1, "ab", 2);
  EXPECT_EQ(first.waitingOn(), nullptr);
  EXPECT_EQ(second.waitingOn(), &attach);
  ASSERT_EQ(host.requests.size(), 2u);
  EXPECT_EQ(host.requests[1].port, 40007);
  EXPECT_EQ(host.requests[1].code, amp::kStatistics);
  EXPECT_EQ(host.requests[1].payload, "ab");
  EXPECT_TRUE(attach.deliverAnswer(reinterpret_cast<const uint8_t*>("xyz"), 3));
  EXPECT_TRUE(first.answers.empty());
  EXPECT_EQ(second.answers, std::vector<std::string>{"xyz"});
  EXPECT_EQ(second.waitingOn(), nullptr);
  EXPECT_FALSE(attach.deliverAnswer(reinterpret_cast<const uint8_t*>("again"), 5));

  // The link going away leaves a waiting request without an answer, and without a dangling link.
  attach.request(first, amp::kJavaInfo, 0);
  agent.process()->dropLink();
  EXPECT_EQ(first.waitingOn(), nullptr);
}

TEST_F(LifecycleTest, SoftStopWithGraceThenPlainThenKill) {
  Agent agent(host, section());
  launch(agent);
  link(agent);
  agent.run->softStop("проверка", true, 300000, 280000);
  const std::string line = "Мягкая(280000мс) остановка агента \"A\" (pid:4000) таймаут(300000мс)";
  EXPECT_TRUE(logs.has(adt::LOG_INFO, line + ", причина: проверка..."));
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].details, line);
  EXPECT_EQ(host.errors[0].text, "причина: проверка");
  EXPECT_EQ(agent.stopReason, "проверка");
  EXPECT_EQ(host.codesSent(), std::vector<uint32_t>{amp::kSoftTerminate});
  EXPECT_EQ(host.requests[0].port, 40001);

  advance(1000);
  agent.runOnce();
  EXPECT_EQ(host.requests.size(), 1u);  // reminded only after more than a second
  EXPECT_EQ(agent.load.score, kLoadUnavailable);
  advance(1);
  agent.runOnce();
  EXPECT_EQ(host.codesSent(), (std::vector<uint32_t>{amp::kSoftTerminate, amp::kSoftTerminate}));
  advance(280000);  // grace over: the plain request
  agent.runOnce();
  EXPECT_EQ(host.codesSent().back(), amp::kTerminateAgent);
  advance(19000);  // 300001 since the stop
  const size_t from = logs.size();
  agent.runOnce();
  EXPECT_TRUE(agent.run->finished);
  EXPECT_TRUE(host.backend.last().terminated);
  expectKillLines(from, false);
  EXPECT_EQ(agent.starts, 1u);
  EXPECT_EQ(agent.kills, 1u);
  EXPECT_EQ(agent.unexpectedEnds, 0u);
  EXPECT_TRUE(logs.has(adt::LOG_WARN,
                       "...агент \"A\" (pid:4000) убит, причина: процесс агента не реагирует на "
                       "ARQ_TERMINATE_AGENT (300001мс)"));
  ASSERT_EQ(host.errors.size(), 2u);
  EXPECT_EQ(host.errors[1].details, "Агент \"A\" убит");
  EXPECT_EQ(host.errors[1].text,
            "причина: процесс агента не реагирует на ARQ_TERMINATE_AGENT (300001мс)\nпричина "
            "остановки: проверка\nпричина запуска: test");
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  EXPECT_FALSE(logs.hasPrefix(adt::LOG_WARN, "Неожиданная остановка"));
}

TEST_F(LifecycleTest, SecondSoftStopKeepsTheEarlierDeadline) {
  Agent agent(host, section());
  launch(agent);
  link(agent);
  agent.run->softStop("первая", false, 60000, 50000);
  const StopRequest first = *agent.process()->stopRequest;
  advance(1000);
  agent.run->softStop("вторая", false, 300000, 10000);
  const StopRequest& kept = *agent.process()->stopRequest;
  EXPECT_EQ(kept.startTick, first.startTick);
  EXPECT_EQ(kept.timeout, 60000u);
  EXPECT_EQ(kept.grace, 10000u);  // the shorter grace is taken
  EXPECT_EQ(agent.stopReason, "первая");
  EXPECT_EQ(logs.count("Мягкая(10000мс) остановка агента \"A\" (pid:4000) таймаут(300000мс), "
                       "причина: вторая..."),
            0u);
  EXPECT_EQ(host.requests.size(), 1u);
  EXPECT_TRUE(host.errors.empty());

  // An earlier deadline replaces the request.
  agent.run->softStop("третья", false, 1000, 0);
  EXPECT_EQ(agent.process()->stopRequest->startTick, now());
  EXPECT_EQ(agent.process()->stopRequest->timeout, 1000u);
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Остановка агента \"A\" (pid:4000) таймаут(1000мс), причина: третья..."));
  EXPECT_EQ(host.codesSent(), (std::vector<uint32_t>{amp::kSoftTerminate, amp::kTerminateAgent}));
}

TEST_F(LifecycleTest, LeaveHangedAgentsSuspendsInsteadOfKilling) {
  host.leaveHanged = true;
  Agent agent(host, section());
  launch(agent);
  link(agent);
  host.backend.last().output = adt::toCp1251("последний вывод");
  agent.run->softStop("r", false, 5000, 0);
  advance(5001);
  const size_t from = logs.size();
  agent.runOnce();
  expectKillLines(from, false);
  EXPECT_TRUE(host.backend.last().suspended);
  EXPECT_FALSE(host.backend.last().terminated);
  EXPECT_EQ(agent.kills, 0u);  // suspended, not killed
  EXPECT_TRUE(agent.run->finished);
  EXPECT_TRUE(logs.has(adt::LOG_WARN,
                       "...агент \"A\" (pid:4000) как бы убит, причина: процесс агента не "
                       "реагирует на ARQ_TERMINATE_AGENT (5001мс), последки:\nпоследний вывод"));
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].details, "Агент \"A\" как бы убит");
  EXPECT_EQ(agent.process()->lastOutput, "последний вывод");
}

TEST_F(LifecycleTest, UnlinkedProcessIsKilledThreeSecondsAfterTheStop) {
  Agent agent(host, section());
  launch(agent);
  agent.run->softStop("r", false, 60000, 0);
  EXPECT_TRUE(host.requests.empty());  // nobody to tell
  advance(3000);
  agent.runOnce();
  EXPECT_FALSE(agent.run->finished);
  advance(1);
  const size_t from = logs.size();
  agent.runOnce();
  expectKillLines(from, false);
  EXPECT_TRUE(logs.has(adt::LOG_WARN,
                       "...агент \"A\" (pid:4000) убит, причина: процесс агента не хочет "
                       "завершаться (3001мс)"));
}

TEST_F(LifecycleTest, ReattachedProcessWaitsForItsLink) {
  config::AgentConf c = section("N", "--a1--777");
  Agent agent(host, c);
  agent.removed = true;
  agent.reattach(777);
  AgentProcess& p = *agent.process();
  EXPECT_TRUE(p.attached);
  EXPECT_TRUE(p.namedPipe);
  EXPECT_EQ(agent.startReason, "неизвестна (найден работающий процесс)");
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Мягкая(3600000мс) остановка агента \"N\" (pid:777) "
                       "таймаут(3600000мс), причина: перезапуск AM..."));
  advance(10000);
  agent.runOnce();
  EXPECT_FALSE(agent.run->finished);  // unlinked, but not ours to kill for that
  // Once linked it is reminded every second with the soft request.
  link(agent, 40009);
  advance(1001);
  agent.runOnce();
  EXPECT_EQ(host.codesSent(), std::vector<uint32_t>{amp::kSoftTerminate});
  // It goes; being removed, it is queued for deletion by its clean-up.
  host.backend.last().exit(0);
  agent.runOnce();
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"N\" (pid:777) остановлен"));
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  EXPECT_EQ(host.deletions, std::vector<Agent*>{&agent});
  agent.runOnce();  // never started again
  EXPECT_EQ(agent.run, nullptr);

  host.backend.attachError = 3;
  Agent other(host, c);
  EXPECT_THROW(other.reattach(778), adt::LastError);
  EXPECT_EQ(other.run, nullptr);
}

TEST_F(LifecycleTest, ExpectedEndIsLoggedAndCleanedUp) {
  config::AgentConf c = section();
  c.httpPort = 8080;
  Agent agent(host, c);
  agent.syncHttpListeners();
  launch(agent);
  link(agent);
  agent.run->softStop("конец", false, 60000, 0);
  host.backend.last().exit(0);
  AgentProcess* p = agent.run->checkProcess();
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->stopRequest.has_value());
  EXPECT_TRUE(agent.run->finished);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"A\" (pid:4000) остановлен"));
  EXPECT_TRUE(host.errors.empty());
  EXPECT_EQ(agent.unexpectedEnds, 0u);  // it was asked to stop
  EXPECT_FALSE(agent.earlyFailTick);
  host.slots[0]->aside = true;
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  EXPECT_EQ(host.slots[0]->answers, std::vector<std::string>{"конец"});
  EXPECT_EQ(host.slots[0]->resumed, 1);  // polled again
  EXPECT_EQ(agent.load.lastTelemetryTick, 0u);
}

TEST_F(LifecycleTest, UnexpectedEndAndTheEarlyFailureHoldOff) {
  config::AgentConf c = section();
  config::parseSched("8h-18h", c.sched);  // always due during the test
  Agent agent(host, c);
  host.configTick = now() - 1;
  launch(agent, "first");
  host.backend.last().output = adt::toCp1251("boom\n");
  host.backend.last().exit(3);
  advance(10);
  agent.runOnce();
  const std::string title = "Неожиданная остановка агента \"A\" (pid:4000)";
  EXPECT_TRUE(logs.has(adt::LOG_WARN, title + ". Последки:\nboom\n"));
  const std::string body =
      "процесс самозавершился\nпричина запуска: first\nПоследние сообщения:\nboom\n";
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].details, title);
  EXPECT_EQ(host.errors[0].text, body);
  EXPECT_EQ(agent.stopReason, body);
  EXPECT_EQ(agent.unexpectedEnds, 1u);
  EXPECT_EQ(agent.kills, 0u);
  const uint64_t failed = now();
  EXPECT_EQ(agent.earlyFailTick, failed);
  EXPECT_TRUE(agent.run->finished);

  // The schedule wants it running, but not for 15 minutes; a client login waits 15 s.
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  EXPECT_TRUE(agent.failedRecently(failed + 14999, kLoginStartHoldOffMs));
  EXPECT_FALSE(agent.failedRecently(failed + 15000, kLoginStartHoldOffMs));

  // A client starts it after 15 s and it fails again: logged, but within five minutes of the
  // first notification not notified.
  advance(15000);
  agent.agentStartProcess("запрос клиента(10.0.0.1)", false);
  EXPECT_FALSE(agent.earlyFailTick);
  agent.runOnce();
  host.backend.last().exit(1);
  agent.runOnce();
  EXPECT_EQ(host.errors.size(), 1u);
  EXPECT_TRUE(logs.has(adt::LOG_WARN, "Неожиданная остановка агента \"A\" (pid:4001)"));
  EXPECT_EQ(agent.earlyFailTick, now());

  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  advance(899999);
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  advance(1);
  agent.runOnce();
  ASSERT_NE(agent.run, nullptr);
  EXPECT_EQ(agent.startReason, "запуск по расписанию \"8h-18h\"");

  // Linked, then its datagrams bounce (it is dying) before its end is seen: it ran, so it is
  // started again at once.
  agent.runOnce();
  link(agent);
  agent.process()->dropLink();
  host.backend.last().exit(9);
  agent.runOnce();
  EXPECT_FALSE(agent.earlyFailTick);
  agent.runOnce();
  agent.runOnce();
  ASSERT_NE(agent.run, nullptr);
  EXPECT_EQ(host.backend.last().pid, 4003u);

  // Once more, and now a reconfiguration lifts the hold-off at once.
  agent.runOnce();
  host.backend.last().exit(1);
  agent.runOnce();
  EXPECT_EQ(host.errors.size(), 2u);  // more than five minutes after the first
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  advance(10);
  host.configTick = now();
  agent.runOnce();
  EXPECT_NE(agent.run, nullptr);
}

TEST_F(LifecycleTest, LinkedOrConsoleStartedEndsAreNotEarlyFailures) {
  Agent agent(host, section());
  launch(agent);
  link(agent);
  host.backend.last().exit(0);
  agent.runOnce();
  EXPECT_FALSE(agent.earlyFailTick);
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].text, "процесс самозавершился\nпричина запуска: test");

  agent.runOnce();
  agent.agentStartProcess("запрос vevureroz(10.0.0.1)", true);
  agent.runOnce();
  advance(400000);
  host.backend.last().exit(0);
  agent.runOnce();
  EXPECT_TRUE(agent.earlyFailTick.has_value());
  EXPECT_EQ(host.errors.size(), 1u);  // console starts are not notified
}

TEST_F(LifecycleTest, SlowStartIsKilledAfterFiveMinutes) {
  Agent agent(host, section());
  launch(agent);
  advance(300000);
  agent.runOnce();
  EXPECT_FALSE(agent.run->finished);
  advance(1);
  const size_t from = logs.size();
  agent.runOnce();
  expectKillLines(from, false);
  EXPECT_TRUE(logs.has(adt::LOG_WARN,
                       "...агент \"A\" (pid:4000) убит, причина: слишком долго стартует "
                       "(300001мс)"));
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].text,
            "причина: слишком долго стартует (300001мс)\nпричина запуска: test");
  EXPECT_TRUE(agent.run->finished);
}

TEST_F(LifecycleTest, RunAtLeastOnceWaitsForUptimeAndStartsOnce) {
  config::AgentConf c = section();
  c.runAtLeastOnce = true;
  Agent agent(host, c);
  host.fakeClock.setMs(300000);
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  advance(1);
  agent.runOnce();
  ASSERT_NE(agent.run, nullptr);
  agent.runOnce();
  link(agent);
  agent.run->softStop("r", false, 1000, 0);
  host.backend.last().exit(0);
  agent.runOnce();
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
  advance(1000000);
  agent.runOnce();
  EXPECT_EQ(agent.run, nullptr);
}

TEST_F(LifecycleTest, RestartTimeStopsARunningAgentSoftly) {
  config::AgentConf c = section();
  c.restartTime.parse("12:00");
  Agent agent(host, c);
  host.fakeClock.setLocal(11, 59, 30);
  launch(agent);
  link(agent);
  agent.runOnce();  // arms
  EXPECT_FALSE(agent.process()->stopRequest);
  advance(60000);
  agent.runOnce();
  ASSERT_TRUE(agent.process()->stopRequest);
  EXPECT_EQ(agent.process()->stopRequest->timeout, 300000u);
  EXPECT_EQ(agent.process()->stopRequest->grace, 280000u);
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Мягкая(280000мс) остановка агента \"A\" (pid:4000) таймаут(300000мс), "
                       "причина: перезапуск по расписанию в 12:00..."));
  EXPECT_TRUE(host.errors.empty());
}

// The real backend: a shell that writes and exits on its own.
TEST_F(LifecycleTest, RealProcessOutputIsCapturedWhenItEndsUnexpectedly) {
  SystemProcessBackend real(dir.path() + "/pipes");
  FakeHost realHost(dir.path(), &real);
  config::AgentConf c = section("sh", "");
  // The options the manager appends become the script's positional parameters.
  c.cmd = "/bin/sh -c \"echo out; echo err >&2; printf '\\342\\n'; exit 3\"";
  Agent agent(realHost, c);
  agent.agentStartProcess("test", false);
  agent.runOnce();
  ASSERT_NE(agent.process(), nullptr) << agent.stopReason;
  const uint32_t pid = agent.process()->pid;
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        agent.runOnce();
        return agent.run == nullptr || agent.run->finished;
      },
      std::chrono::seconds(30)));
  const std::string title = "Неожиданная остановка агента \"sh\" (pid:" + std::to_string(pid) + ")";
  // Windows-1251 0xE2 is "в".
  EXPECT_TRUE(logs.has(adt::LOG_WARN, title + ". Последки:\nout\nerr\nв\n"));
  ASSERT_EQ(realHost.errors.size(), 1u);
  EXPECT_EQ(realHost.errors[0].details, title);
  EXPECT_EQ(realHost.errors[0].text,
            "процесс самозавершился\nпричина запуска: test\nПоследние сообщения:\nout\nerr\nв\n");
  EXPECT_TRUE(agent.earlyFailTick.has_value());
}

}  // namespace
}  // namespace agents
