// Health checks of running agents with a clock the test moves and telemetry the test writes:
// the hang rule, the probe with and without clients, telemetry silence, idleness, a newer
// version, the garbage-collection warning and the load score in the choice of a worker.
#include <gtest/gtest.h>

#include <random>

#include "adt/tagged_writer.h"
#include "agent_test_fakes.h"
#include "agents/amp.h"
#include "child.h"
#include "clients/rq_agent_link.h"

namespace agents {
namespace {

constexpr uint32_t kCode12 = amp::kTelemetry;

amp::Task task(uint32_t id, int32_t op, uint32_t pulse) {
  amp::Task t;
  t.id = id;
  t.type = 1;
  t.op = op;
  t.pulse = pulse;
  return t;
}

class HealthTest : public testing::AgentTest {
 protected:
  // A linked (Running) agent.
  Agent& running(Agent& agent, bool withVersion = false) {
    launch(agent);
    AgentStartReport report;
    report.pid = agent.process()->pid;
    if (withVersion) {
      report.hasVersion = true;
      report.version = {5, 2, 7, 0};
    }
    agent.process()->attachLink(40001, report);
    return agent;
  }
  static void telemetry(Agent& agent, uint32_t clients, const amp::Telemetry& t) {
    const adt::Bytes payload = amp::encodeTelemetry(t);
    amp::Header h;
    h.code = kCode12;
    h.value1 = clients;
    agent.onTelemetry(h, payload.data(), payload.size());
  }
  static void telemetry(Agent& agent, uint32_t clients, std::vector<amp::Task> tasks = {}) {
    amp::Telemetry t;
    t.tasks = std::move(tasks);
    telemetry(agent, clients, t);
  }
  // Moves time on in steps of at most a minute, with a telemetry and a pass at each step.
  void keepAlive(Agent& agent, uint64_t ms, uint32_t clients,
                 const std::vector<amp::Task>& tasks = {}) {
    while (ms > 0) {
      const uint64_t step = std::min<uint64_t>(ms, 60000);
      advance(step);
      ms -= step;
      telemetry(agent, clients, tasks);
      agent.runOnce();
    }
  }
  static bool stopping(Agent& agent) {
    return agent.process() && agent.process()->stopRequest.has_value();
  }
};

TEST_F(HealthTest, HangThresholdsDependOnTheOperationCode) {
  host.longOperationMs = 1200000;
  Agent agent(host, section());
  running(agent);
  const std::vector<amp::Task> all = {task(1, 25000, 7), task(2, 15000, 7), task(3, 5000, 7)};
  telemetry(agent, 1, all);  // first sight: no mark
  EXPECT_EQ(agent.tasks.tasks()[2].hangTick, 0u);
  advance(10);
  telemetry(agent, 1, all);  // the pulse stands: marked now
  const uint64_t marked = now();
  EXPECT_EQ(agent.tasks.tasks()[2].hangTick, marked);
  advance(600000);
  telemetry(agent, 1, all);
  EXPECT_EQ(agent.tasks.hungIndex(), 0u) << "600000 ms is not yet over the limit";
  advance(1);
  telemetry(agent, 1, all);
  EXPECT_EQ(agent.tasks.hungIndex(), 3u) << "op 5000 hangs after 600001 ms";
  EXPECT_EQ(agent.tasks.tasks()[2].hangTick, marked);

  // Without the short task, op 15000 waits for long_operation_timeout; op 25000 never hangs.
  const std::vector<amp::Task> longOnes = {task(1, 25000, 7), task(2, 15000, 7)};
  telemetry(agent, 1, longOnes);
  EXPECT_EQ(agent.tasks.hungIndex(), 0u);
  ASSERT_EQ(agent.tasks.history().size(), 1u);
  EXPECT_EQ(agent.tasks.history().back().record.task.id, 3u);
  advance(1200000 - 600001);
  telemetry(agent, 1, longOnes);
  EXPECT_EQ(agent.tasks.hungIndex(), 0u);
  advance(1);
  telemetry(agent, 1, longOnes);
  EXPECT_EQ(agent.tasks.hungIndex(), 2u);
  advance(100000000);
  telemetry(agent, 1, {task(1, 25000, 7)});
  EXPECT_EQ(agent.tasks.hungIndex(), 0u);

  // A moving pulse clears the mark.
  telemetry(agent, 1, {task(1, 25000, 8)});
  EXPECT_EQ(agent.tasks.tasks()[0].hangTick, 0u);
}

TEST_F(HealthTest, TaskLinesAndTheHistoryLimit) {
  Agent agent(host, section());
  running(agent);
  amp::Task t = task(5, 5000, 3);
  t.thread = 12;
  t.rq = 16;
  t.rqTime = 250;
  t.user = 1.5;
  t.blocked = true;
  t.contextMessage = "отчёт";
  t.stack = "f()\ng()";
  telemetry(agent, 0, {t});
  advance(5);
  telemetry(agent, 0, {t});
  advance(40);
  adt::String text;
  agent.tasks.tasks()[0].describe(text, true, now());
  EXPECT_EQ(text,
            "id:5, type:1, op:5000, pulse:3, thread:12, rq:16, rq_time:250, user:1.5, blocked, "
            "hang:40ms, contextMessage(отчёт)\nf()\ng()\n");

  for (uint32_t i = 0; i < TaskList::kHistoryLimit + 10; ++i) {
    telemetry(agent, 0, {task(100 + i, 1, 1)});
  }
  EXPECT_EQ(agent.tasks.history().size(), TaskList::kHistoryLimit);
  EXPECT_EQ(agent.tasks.history().back().record.task.id, 100 + TaskList::kHistoryLimit + 8);
}

TEST_F(HealthTest, HungTaskWithClientsIsPingedAndTheAnswerEndsTheProbe) {
  host.longOperationMs = 0;
  Agent agent(host, section());
  running(agent);
  amp::Telemetry t;
  t.tasks = {task(1, 1, 1), task(2, 5000, 9)};
  t.tasks[1].stack = "stuck()";
  amp::Dictionary d;
  d.operations = {{5000, "печать"}};
  t.hasDictionary = true;
  t.dictionary = amp::encodeDictionary(d);
  for (uint32_t i = 0; i < 3; ++i) {
    advance(10);
    t.tasks[0].pulse = i;  // this one works
    telemetry(agent, 1, t);
  }
  ASSERT_EQ(agent.tasks.hungIndex(), 2u);
  agent.runOnce();
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Пингую агент \"A\", причина: зависание задачи:\nid:2, type:1, op:5000, "
                       "pulse:9, hang:10ms\nstuck()\nрасшифровка:\nоперации:\n5000=печать\n..."));
  EXPECT_EQ(host.codesSent().back(), amp::kPing);
  AgentAttach& link = *agent.process()->link;
  EXPECT_EQ(link.probeTick, now());
  EXPECT_EQ(agent.load.score, 1000u);

  link.probeOk("отвечает на пинг");  // what the code 10 handler does
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"A\" (pid:4000): отвечает на пинг"));
  EXPECT_EQ(link.probeTick, 0u);
  // The agent lives: the same hang is not asked about on every pass.
  const size_t pings = host.requests.size();
  advance(500);
  agent.runOnce();
  EXPECT_EQ(host.requests.size(), pings);
  EXPECT_FALSE(stopping(agent));
  EXPECT_EQ(agent.load.score, 1000u);

  // A minute later it is asked again; this time it keeps silent. Re-pings go out once a second
  // without new log lines, and after 15 s the agent is stopped.
  advance(60000);
  telemetry(agent, 1, t);
  agent.runOnce();
  EXPECT_EQ(host.requests.size(), pings + 1);
  const uint64_t probeStart = link.probeTick;
  EXPECT_EQ(probeStart, now());
  const size_t lines = logs.size();
  advance(1001);
  agent.runOnce();
  EXPECT_EQ(host.requests.size(), pings + 2);
  EXPECT_EQ(logs.size(), lines);
  advance(13999);
  agent.runOnce();
  EXPECT_FALSE(stopping(agent)) << "15000 ms are not over the limit";
  advance(1);
  agent.runOnce();
  ASSERT_TRUE(stopping(agent));
  EXPECT_EQ(agent.process()->stopRequest->timeout, 60000u);
  EXPECT_EQ(agent.stopReason.rfind("не прошел проверку на зависание задачи (15001мс):\nid:1,", 0),
            0u)
      << agent.stopReason;
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].text, "причина: " + agent.stopReason);
  EXPECT_EQ(agent.load.score, kLoadUnavailable);
}

TEST_F(HealthTest, ProbeEndsWithoutStopWhenTheHangIsGone) {
  host.longOperationMs = 0;
  Agent agent(host, section());
  running(agent);
  for (int i = 0; i < 3; ++i) {
    advance(10);
    telemetry(agent, 2, {task(2, 5000, 9)});
  }
  agent.runOnce();
  ASSERT_NE(agent.process()->link->probeTick, 0u);
  telemetry(agent, 2, {task(2, 5000, 10)});  // it moved
  agent.runOnce();
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "...агент \"A\" (pid:4000): нет зависших задач"));
  EXPECT_EQ(agent.process()->link->probeTick, 0u);
  EXPECT_FALSE(stopping(agent));
}

TEST_F(HealthTest, HungTaskWithoutClientsStopsTheAgentWithTheTaskList) {
  host.longOperationMs = 0;
  Agent agent(host, section());
  running(agent);
  for (int i = 0; i < 3; ++i) {
    advance(10);
    telemetry(agent, 0, {task(1, 1, static_cast<uint32_t>(i)), task(2, 5000, 9)});
  }
  agent.runOnce();
  ASSERT_TRUE(stopping(agent));
  EXPECT_EQ(agent.stopReason,
            "зависание задачи:\nid:1, type:1, op:1, pulse:2\nid:2, type:1, op:5000, pulse:9, "
            "hang:10ms\n");
  EXPECT_EQ(host.errors.size(), 1u);
  const std::vector<uint32_t> codes = host.codesSent();
  EXPECT_NE(std::find(codes.begin(), codes.end(), amp::kTerminateAgent), codes.end());
  EXPECT_EQ(std::count(codes.begin(), codes.end(), amp::kPing), 0);
}

TEST_F(HealthTest, SilentAgentIsStoppedAfterTwoMinutes) {
  Agent agent(host, section());
  running(agent);  // the start report counts as telemetry
  advance(120000);
  agent.runOnce();
  EXPECT_FALSE(stopping(agent));
  advance(1);
  agent.runOnce();
  ASSERT_TRUE(stopping(agent));
  EXPECT_EQ(agent.stopReason, "нет телеметрии (120001мс)");
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "Остановка агента \"A\" (pid:4000) таймаут(60000мс), причина: нет "
                       "телеметрии (120001мс)..."));
  ASSERT_EQ(host.errors.size(), 1u);
  // Unanswered, it is killed when the stop's minute is over.
  advance(60001);
  agent.runOnce();
  EXPECT_TRUE(host.backend.last().terminated);
}

// A running agent whose process shows nothing new is checked once a second, not every pass;
// its end, its output and a stop are still seen on the very next pass.
TEST_F(HealthTest, AQuietAgentIsCheckedOnceASecondAndItsEventsAtOnce) {
  Agent quiet(host, section("Q", "q"));
  running(quiet);
  testing::FakeProcessState& q = host.backend.last();
  q.looked = true;
  advance(120000);
  quiet.runOnce();  // the checks of this second: just not silent too long yet
  EXPECT_FALSE(stopping(quiet));
  advance(500);
  quiet.runOnce();  // silent too long, but inside the quiet second: left alone
  EXPECT_FALSE(stopping(quiet));
  advance(Agent::kQuietCheckMs - 500);
  quiet.runOnce();
  ASSERT_TRUE(stopping(quiet));

  // Output and an end are handled on the pass that follows them, whatever the time.
  Agent busy(host, section("B", "b"));
  running(busy);
  testing::FakeProcessState& b = host.backend.last();
  b.looked = true;
  busy.runOnce();
  b.output = "line\n";
  busy.runOnce();
  EXPECT_EQ(b.reads, 1);
  EXPECT_TRUE(b.output.empty());
  busy.runOnce();
  EXPECT_EQ(b.reads, 1);  // nothing new: no read
  b.exit(3);
  busy.runOnce();
  EXPECT_EQ(busy.unexpectedEnds, 1);
}

TEST_F(HealthTest, MalformedTelemetryKeepsTasksButCountsAsALifeSign) {
  Agent agent(host, section());
  running(agent);
  telemetry(agent, 3, {task(1, 1, 1)});
  advance(100000);
  adt::Bytes bad;
  {
    adt::TaggedBufferWriter w(bad);
    const uint8_t head[16] = {9};
    w.writeTag(amp::tag::kTask, head, sizeof head);
    const uint8_t three[3] = {1, 2, 3};
    w.writeTag(amp::tag::kRequest, three, sizeof three);  // must be 4 bytes
    w.flush();
  }
  amp::Header h;
  h.code = kCode12;
  h.value1 = 0;
  agent.onTelemetry(h, bad.data(), bad.size());
  EXPECT_EQ(agent.load.lastTelemetryTick, now());
  EXPECT_EQ(agent.load.reportedClients, 0u);
  EXPECT_EQ(agent.load.idleSinceTick, now());
  ASSERT_EQ(agent.tasks.tasks().size(), 1u);
  EXPECT_EQ(agent.tasks.tasks()[0].task.id, 1u);
  EXPECT_TRUE(logs.hasPrefix(adt::LOG_ERR, "Agent::onTelemetry(агент \"A\" (pid:4000)): "));
  advance(100000);
  agent.runOnce();
  EXPECT_FALSE(stopping(agent));
}

TEST_F(HealthTest, IdleStopOnlyAfterAClientHasLeft) {
  Agent agent(host, section());
  running(agent);
  keepAlive(agent, 1800000, 0);  // half an hour without ever a client
  EXPECT_FALSE(stopping(agent));

  keepAlive(agent, 60000, 2);
  keepAlive(agent, 60000, 0);  // they left now
  const uint64_t left = now();
  EXPECT_EQ(agent.load.idleSinceTick, left);
  keepAlive(agent, 540000, 0);
  advance(60000);
  agent.runOnce();
  EXPECT_FALSE(stopping(agent)) << "600000 ms are not over the limit";
  advance(1);
  agent.runOnce();
  ASSERT_TRUE(stopping(agent));
  EXPECT_EQ(agent.stopReason, "простаивает без клиентов (600001мс)");
  EXPECT_TRUE(host.errors.empty());
}

TEST_F(HealthTest, ClientLoginAfterTheLastClientLeftKeepsTheAgent) {
  Agent agent(host, section());
  running(agent);
  keepAlive(agent, 60000, 1);
  keepAlive(agent, 60000, 0);
  agent.lastClientLoginTick = now() + 1;  // someone is on the way
  keepAlive(agent, 1200000, 0);
  EXPECT_FALSE(stopping(agent));
}

TEST_F(HealthTest, NewerVersionStopsWithAnHourOfGrace) {
  config::AgentConf c = section();
  c.args = "-x";
  Agent agent(host, c);
  running(agent, false);
  agent.version = std::make_shared<testing::FakeVersion>(adt::makeVersion(5, 2, 9), dir.path(),
                                                         DeployState::kReady);
  agent.runOnce();
  EXPECT_FALSE(stopping(agent)) << "an agent that reported no version is left alone";
  agent.process()->link.reset();
  AgentStartReport report;
  report.pid = agent.process()->pid;
  report.hasVersion = true;
  report.version = {5, 2, 7, 0};
  agent.process()->attachLink(40001, report);
  agent.runOnce();
  ASSERT_TRUE(stopping(agent));
  EXPECT_EQ(agent.stopReason, "рекомендуется версия 5.2.9");
  EXPECT_EQ(agent.process()->stopRequest->grace, 3600000u);
  EXPECT_EQ(agent.process()->stopRequest->timeout, 3600000u);
  EXPECT_TRUE(host.errors.empty());
  EXPECT_EQ(host.codesSent().back(), amp::kSoftTerminate);
}

amp::Telemetry sampleTelemetry(double gcDays, uint32_t requests) {
  amp::Telemetry t;
  amp::Sample s;
  s.values.gcDays = gcDays;
  s.values.setWord(2, requests);
  t.samples.push_back(s);
  return t;
}

TEST_F(HealthTest, GarbageCollectionWarningAndIdenticalSamples) {
  adt::setLogBase(dir.file("am"));
  Agent agent(host, section());
  running(agent);
  host.gcPercent = -1;  // any difference at all would warn
  telemetry(agent, 0, sampleTelemetry(0.001, 5));
  advance(60000);
  telemetry(agent, 0, sampleTelemetry(0.001, 5));
  EXPECT_TRUE(host.messages.empty()) << "identical samples never warn";

  host.gcPercent = 50;
  telemetry(agent, 1, {task(4, 5000, 1)});  // a task runs meanwhile (no sample)
  advance(60000);
  amp::Telemetry t = sampleTelemetry(0.001 + 36.0 / 86400, 6);
  t.tasks = {task(4, 5000, 1)};
  t.tasks[0].stack = "gc()";
  telemetry(agent, 1, t);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].subject,
            "Предупреждение AM: агент \"A\" потратил 60.0% времени на сборку мусора");
  EXPECT_EQ(host.messages[0].text,
            "из последних 60.0 секунд работы агента, на сборку мусора было потрачено 36.0 секунд"
            "\n Выполняемые задачи:\nid:4, type:1, op:5000, pulse:1, hang:0ms\n");
  const std::string perf = adt::fromCp1251(testsupport::readFile(dir.file("am.perf.log")));
  EXPECT_NE(perf.find(host.messages[0].subject + " из последних 60.0 секунд"), std::string::npos);
  EXPECT_NE(perf.find("hang:0ms\ngc()\n\r\n"), std::string::npos) << perf;

  // Within the hour no second warning, unless the settings were reloaded since.
  advance(60000);
  telemetry(agent, 1, sampleTelemetry(0.001 + 72.0 / 86400, 7));
  EXPECT_EQ(host.messages.size(), 1u);
  host.configTick = now();
  advance(60000);
  telemetry(agent, 1, sampleTelemetry(0.001 + 108.0 / 86400, 8));
  EXPECT_EQ(host.messages.size(), 2u);
  adt::setLogBase("");
}

// A sample as the telemetry keeps it: its raw bytes and its decoded values.
amp::Sample kept(const amp::PerformanceSample& values) {
  return amp::Sample{amp::encodePerformanceSample(values), values, 0};
}

TEST_F(HealthTest, StatisticsFromTheSampleWindows) {
  SampleHistory h;
  const double minute = 1.0 / 1440;
  const double t0 = 45000.5;
  // 16 samples 0.99 minutes apart: the last 15 minutes hold all, the last minute 2.
  for (int i = 0; i <= 15; ++i) {
    amp::PerformanceSample s;
    s.setWord(2, static_cast<uint32_t>(100 * i));
    s.gcDays = i * 1.0 / 86400;  // one second of collection each minute
    s.setNestedValue(1, (10u + i) * 131072);
    s.setNestedValue(5, i % 2 ? 0 : 128 * 131072);
    s.setNestedValue(4, 4 * 131072);
    s.setWideDays(3, i * minute);
    h.store(t0 - (15 - i) * minute * 0.99, 4000, kept(s));
  }
  const LoadStatistics st = h.compute(t0);
  EXPECT_EQ(st[4], 100);            // 5: requests over the last minute
  EXPECT_EQ(st[11], 1500);          // 12: over the quarter hour
  EXPECT_EQ(st[6], 1000);           // 7: gc ms over the minute
  EXPECT_EQ(st[13], 15000);         // 14: over the quarter hour
  EXPECT_EQ(st[12], 900000);        // 13: the time value's growth in ms
  EXPECT_EQ(st[3], (24 + 25) / 2);  // 4: mean memory in 128 KiB units
  EXPECT_EQ(st[9], 4);              // 10
  EXPECT_EQ(st[2], (0 + 24) / 2);   // 3: samples without a limit count, adding nothing
  EXPECT_EQ(st[8], 1);              // 9: 16 samples over 14.85 minutes
  EXPECT_EQ(st[0], 0);
  EXPECT_EQ(st[7], 0);

  // One sample in the last minute stands for itself.
  const LoadStatistics lone = h.compute(t0 + minute * 0.5);
  EXPECT_EQ(lone[4], 1500);
  EXPECT_EQ(lone[8], 10);
}

// The windows kept from one telemetry to the next give what counting the samples gives, through
// clocks set back and forward, samples never written, a lone sample and the wrap of the ring.
TEST_F(HealthTest, KeptWindowsAgreeWithCountingTheSamples) {
  const double second = 1.0 / 86400;
  std::mt19937 random(7);
  SampleHistory h;
  double t = 45000.5;
  const int total = static_cast<int>(SampleHistory::kRingSize) + 3000;
  int differences = 0;
  for (int i = 0; i < total; ++i) {
    const uint32_t pick = random() % 1000;
    if (pick == 0) {
      t -= (random() % 1200) * second;  // set back by up to 20 minutes
    } else if (pick == 1) {
      t += (random() % 3600) * second;  // a gap of up to an hour
    } else {
      t += (0.5 + (random() % 150) / 100.0) * second;
    }
    amp::PerformanceSample s;
    s.setWord(2, static_cast<uint32_t>(i * 3 + random() % 3));
    s.gcDays = i * 0.01 * second;
    s.setWideDays(3, i * second);
    s.setNestedValue(1, static_cast<uint32_t>(random() % 4000) * 4096);
    s.setNestedValue(4, static_cast<uint32_t>(random() % 4000) * 4096);
    s.setNestedValue(5, random() % 4 ? static_cast<uint32_t>(random() % 8000 + 1) * 4096 : 0);
    // The statistics are asked for when the telemetry comes, before its samples are kept, and
    // now and then by a later moment.
    const double now = pick == 2 ? t + (random() % 120) * second : t;
    if (h.compute(now) != h.computeByWalk(now)) ++differences;
    h.store(pick == 3 ? 0.0 : t, 4000, kept(s));
    if (i > total - 5 || i % 4096 == 0) {
      EXPECT_EQ(h.compute(t), h.computeByWalk(t)) << i;
    }
  }
  EXPECT_EQ(differences, 0);
  EXPECT_EQ(h.stored(), SampleHistory::kRingSize);
  // With no new sample, moving on until the windows empty and asking again.
  for (double later : {30.0, 59.0, 61.0, 899.0, 901.0, 3600.0}) {
    EXPECT_EQ(h.compute(t + later * second), h.computeByWalk(t + later * second)) << later;
  }

  // Many samples a telemetry: the whole ring lies inside the quarter hour, and the oldest leave
  // both windows as the ring wraps.
  SampleHistory dense;
  const double start = 45001.5;
  for (int i = 0; i < total; ++i) {
    amp::PerformanceSample s;
    s.setWord(2, static_cast<uint32_t>(i));
    s.setNestedValue(1, static_cast<uint32_t>(random() % 4000) * 4096);
    s.setNestedValue(5, 8000 * 4096);
    const double at = start + (i / 64) * 0.5 * second;
    const LoadStatistics fast = dense.compute(at);
    if (i % 997 == 0 || i > total - 3) {
      EXPECT_EQ(fast, dense.computeByWalk(at)) << i;
    }
    dense.store(at, 4000, kept(s));
  }
}

TEST_F(HealthTest, TheSampleRingGrowsWithItsSamplesAndWrapsAtItsLimit) {
  const double second = 1.0 / 86400;
  const double t0 = 45000.5;
  auto sample = [second](int i) {
    amp::PerformanceSample s;
    s.setWord(2, static_cast<uint32_t>(i));
    s.setNestedValue(1, static_cast<uint32_t>(i % 97) * 131072);
    s.setNestedValue(5, 128 * 131072);
    s.gcDays = i * 0.001 * second;
    amp::Sample kept{amp::encodePerformanceSample(s), s, static_cast<uint32_t>(i % 5)};
    return kept;
  };
  SampleHistory few;
  for (int i = 0; i < 10; ++i) few.store(t0 + i * second, 4000, sample(i));
  EXPECT_EQ(few.newest().requests, 9u);
  // What ten samples hold: a small record each and the raw bytes once, in a first block of each
  // that is at most twice what it holds (or its first room).
  const size_t rawBytes = sample(9).raw.size();
  const size_t block = adt::ChunkQueue<uint8_t>::kBlockBytes;
  EXPECT_LE(few.heldBytes(), 2 * 10 * (rawBytes + 64) + 2 * adt::ChunkQueue<uint8_t>::kFirstBytes);

  // Past the limit the oldest goes: the statistics are those of the newest kRingSize alone, and
  // the raw history answers the statistics request with exactly those samples, as received.
  const int total = static_cast<int>(SampleHistory::kRingSize) + 1000;
  SampleHistory wrapped, fresh;
  for (int i = 0; i < total; ++i) {
    wrapped.store(t0 + i * second, 4000, sample(i));
    if (i >= 1000) fresh.store(t0 + i * second, 4000, sample(i));
  }
  EXPECT_EQ(wrapped.stored(), SampleHistory::kRingSize);
  EXPECT_EQ(wrapped.newest().requests, static_cast<uint32_t>(total - 1));
  // The same samples, at most a partly used first block of each kind more.
  EXPECT_GE(wrapped.heldBytes(), fresh.heldBytes());
  EXPECT_LE(wrapped.heldBytes(), fresh.heldBytes() + 2 * block);
  const double end = t0 + (total - 1) * second;
  for (double now : {end, end + 30 * second, end + 899 * second}) {
    EXPECT_EQ(wrapped.compute(now), fresh.compute(now)) << now;
  }
  // The quarter hour holds the samples of its 900 seconds: statistic 12 counts their requests
  // (one request a sample; the window's edge may fall on either side of a sample).
  EXPECT_NEAR(static_cast<double>(wrapped.compute(end)[11]), 900, 1);

  ASSERT_EQ(wrapped.raw().size(), SampleHistory::kRingSize);
  const RawSample oldest = wrapped.raw()[0];
  EXPECT_DOUBLE_EQ(oldest.time, t0 + 1000 * second);
  EXPECT_EQ(oldest.raw, sample(1000).raw);
  EXPECT_EQ(oldest.count, sample(1000).count);
  EXPECT_EQ(oldest.pid, 4000u);
  EXPECT_EQ(wrapped.raw()[SampleHistory::kRingSize - 1].raw, sample(total - 1).raw);
  // The request's limits: from the oldest kept time (excluded) up to the newest (included).
  auto answer = [](const SampleHistory& h, double from, double to) {
    adt::MemoryTaggedWriter out;
    clients::writeAgentSamples(h, from, to, out);
    return adt::Bytes(out.data(), out.data() + out.size());
  };
  const double first = t0 + 1000 * second;
  EXPECT_EQ(answer(wrapped, first, end), answer(fresh, first, end));
  EXPECT_EQ(answer(wrapped, 0, end + 1), answer(fresh, 0, end + 1));
  EXPECT_EQ(answer(wrapped, 0, first).size(), answer(fresh, 0, first).size());
  EXPECT_FALSE(answer(wrapped, 0, first).empty());
  EXPECT_TRUE(answer(wrapped, end, end + 1).empty());

  // The newest sample's count is completed by a later datagram, once.
  SampleHistory open;
  amp::Sample unfinished = sample(5);
  unfinished.count = 0;
  open.store(t0, 4000, unfinished);
  open.completeNewest(42);
  open.completeNewest(43);
  EXPECT_EQ(open.raw()[0].count, 42u);
  EXPECT_TRUE(open.sameAsNewest(unfinished.raw));
  EXPECT_FALSE(open.sameAsNewest(sample(6).raw));
}

TEST(GroupRankingTest, PenaltiesEqualComparingWithEveryOtherMember) {
  // Few distinct values, so that ties are everywhere; the asking member's own row both kept
  // and changed since the ranking was built.
  std::mt19937 random(7);
  for (const size_t n : {2u, 3u, 17u, 200u}) {
    std::vector<LoadStatistics> rows(n);
    for (LoadStatistics& row : rows) {
      for (int64_t& v : row) v = static_cast<int64_t>(random() % 4);
    }
    GroupRanking ranking;
    ranking.build(rows);
    for (size_t self = 0; self < n; ++self) {
      for (const bool changed : {false, true}) {
        LoadStatistics mine = rows[self];
        if (changed) mine[0] += 2, mine[8] -= 1, mine[3] = 0;
        uint32_t expected = 0;
        for (size_t other = 0; other < n; ++other) {
          if (other != self) expected += loadPenalty(mine, rows[other]);
        }
        ASSERT_EQ(ranking.penalty(mine, self), expected) << "n=" << n << " self=" << self;
      }
    }
  }
}

TEST_F(HealthTest, ALargeGroupScoresItsMembersAsOneByOneComparisonWould) {
  config::AgentConf c = groupSection(Agent::kExactGroupLimit + 16);
  AgentList list;
  makeGroup(list, c);
  ASSERT_GT(list.size(), Agent::kExactGroupLimit);
  for (auto& a : list) running(*a);
  for (size_t i = 0; i < list.size(); ++i) {
    amp::Telemetry t;
    amp::Sample s;
    s.values.setNestedValue(1, (100 + i * 37 % 500) * 131072);
    s.values.setNestedValue(5, 1000 * 131072);
    t.samples.push_back(s);
    telemetry(*list[i], 1, t);
  }
  for (size_t i = 0; i < list.size(); ++i) list[i]->clientCount = static_cast<int32_t>(i % 3);
  // The second pass sees every member's client figures as the first one set them.
  for (auto& a : list) a->runOnce();
  advance(100);
  for (auto& a : list) a->runOnce();
  for (const auto& a : list) {
    uint32_t expected = 0;
    for (const auto& other : list) {
      if (other != a) expected += loadPenalty(a->load.statistics, other->load.statistics);
    }
    EXPECT_EQ(a->load.score, expected);
  }
}

TEST_F(HealthTest, LoadScoreWeightsDecideTheWorker) {
  LoadStatistics a{}, b{};
  a[2] = 5;  // statistic 3 greater: 100
  a[8] = 1;  // statistic 9 smaller: 50
  b[8] = 2;
  b[12] = 1;  // statistic 13 greater for b: 1
  EXPECT_EQ(loadPenalty(a, b), 150u);
  EXPECT_EQ(loadPenalty(b, a), 1u);

  config::AgentConf c = groupSection(3);
  AgentList list;
  Agent& primary = makeGroup(list, c);
  ASSERT_EQ(list.size(), 3u);
  for (auto& a1 : list) running(*a1);
  // Everyone has clients; the primary and the first worker use much memory, the second little.
  const uint32_t memory[3] = {900, 800, 100};
  for (size_t i = 0; i < 3; ++i) {
    amp::Telemetry t;
    amp::Sample s;
    s.values.setNestedValue(1, memory[i] * 131072);
    s.values.setNestedValue(5, 1000 * 131072);
    t.samples.push_back(s);
    telemetry(*list[i], 1, t);
    advance(10);
    telemetry(*list[i], 1, t);
  }
  EXPECT_EQ(primary.pickWorker(0, false), list[2].get());
  EXPECT_EQ(list[2]->load.score, 0u);
  // The primary is worse than both in memory ratio, memory in use (minute and quarter hour).
  EXPECT_EQ(primary.load.score, 2 * (100 + 50 + 50 + 100));
  EXPECT_LT(list[1]->load.score, primary.load.score);
}

TEST_F(HealthTest, StoppingWorkerTakesNoNewClientAndBadDictionaryIsReportedNotThrown) {
  config::AgentConf c = groupSection(2);
  AgentList list;
  Agent& primary = makeGroup(list, c);
  ASSERT_EQ(list.size(), 2u);
  Agent& worker = *list[1];
  running(primary);
  primary.run->softStop("test", false, 60000, 0);
  // The stopping one has no clients, yet the idle one is given the client (and will start).
  EXPECT_EQ(primary.pickWorker(0, false), &worker);
  EXPECT_EQ(primary.load.score, kLoadUnavailable);
  EXPECT_EQ(primary.clientCount, 0);

  // A dictionary that breaks off: what could be read, then the reader's complaint.
  amp::Dictionary d;
  d.requests = {{16, "статистика"}};
  adt::Bytes bytes = amp::encodeDictionary(d);
  bytes.pop_back();
  worker.tasks.setDictionary(true, bytes);
  adt::String text;
  worker.tasks.describeDecoding(text);
  EXPECT_EQ(text.rfind("расшифровка:\n", 0), 0u) << text;
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("("), std::string::npos) << text;
}

}  // namespace
}  // namespace agents
