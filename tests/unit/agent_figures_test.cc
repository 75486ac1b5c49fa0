// What clients read about an agent's health: the task list of the threads request, the kept
// telemetry samples and the manager's own process samples of the statistics requests, the
// processor-time statistic fed by those, and the detailed figures of the agents list.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "agent_test_fakes.h"
#include "agents/amp.h"
#include "clients/agents_list.h"
#include "clients/rq_agent_control.h"
#include "clients/rq_agent_link.h"

namespace agents {
namespace {

using Elements = std::vector<std::pair<uint8_t, adt::Bytes>>;

Elements elementsOf(const adt::Bytes& bytes) {
  Elements out;
  adt::TaggedBufferReader in(bytes);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    adt::Bytes value;
    in.readBytes(value);
    out.emplace_back(tag, std::move(value));
  }
  return out;
}

std::map<uint8_t, adt::Bytes> mapOf(const adt::Bytes& bytes) {
  std::map<uint8_t, adt::Bytes> out;
  for (auto& [tag, value] : elementsOf(bytes)) out[tag] = value;
  return out;
}

template <typename T>
T as(const adt::Bytes& b) {
  T v{};
  EXPECT_EQ(b.size(), sizeof v);
  if (b.size() == sizeof v) std::memcpy(&v, b.data(), sizeof v);
  return v;
}

std::string text(const adt::Bytes& b) { return adt::fromCp1251(std::string(b.begin(), b.end())); }

template <typename Write>
adt::Bytes written(Write write) {
  adt::Bytes bytes;
  adt::TaggedBufferWriter out(bytes);
  write(out);
  out.flush();
  return bytes;
}

class FiguresTest : public testing::AgentTest {
 protected:
  Agent& running(Agent& agent) {
    launch(agent);
    link(agent);
    return agent;
  }
  static void telemetry(Agent& agent, const amp::Telemetry& t, uint32_t clients = 0) {
    const adt::Bytes payload = amp::encodeTelemetry(t);
    amp::Header h;
    h.code = amp::kTelemetry;
    h.value1 = clients;
    agent.onTelemetry(h, payload.data(), payload.size());
  }
  double days() { return platform::toFractionalDays(host.fakeClock.localNow()); }
};

TEST_F(FiguresTest, ThreadsReplyCarriesTasksDecodingAndHistory) {
  TaskList list;
  amp::Task waiting;
  waiting.id = 1, waiting.type = 3, waiting.op = 100, waiting.pulse = 7, waiting.thread = 42;
  waiting.contextMessage = "ожидание";
  amp::Task stuck;
  stuck.id = 2, stuck.type = -1, stuck.op = 5000, stuck.pulse = 9, stuck.thread = 43;
  stuck.rq = 16, stuck.rqTime = 1234, stuck.blocked = true, stuck.extra = 0x0102;
  stuck.user = 2.5;
  stuck.stack = "main()";
  list.update({waiting, stuck}, 1000, 45000.25, 600000);
  waiting.pulse = 8;  // moves; the stuck one does not
  list.update({waiting, stuck}, 4000, 45000.26, 600000);
  adt::MemoryTaggedWriter dictionary;
  dictionary.writeInt(1, 100);
  dictionary.writeString(2, "ожидание запросов");
  list.setDictionary(true, dictionary.toBytes());

  const Elements current = elementsOf(
      written([&](adt::TaggedWriter& out) { clients::writeTaskList(list, false, 9000, out); }));
  ASSERT_EQ(current.size(), 7u);  // 60, two groups of 59 + 76, 5, 90
  EXPECT_EQ(current[0].first, 60);
  EXPECT_EQ(as<int32_t>(current[0].second), 2);
  ASSERT_EQ(current[3].first, 59);
  const adt::Bytes& head = current[3].second;
  ASSERT_EQ(head.size(), 20u);
  uint32_t fields[5];
  std::memcpy(fields, head.data(), sizeof fields);
  EXPECT_EQ(fields[0], 2u);
  EXPECT_EQ(static_cast<int32_t>(fields[1]), -1);
  EXPECT_EQ(fields[2], 5000u);
  EXPECT_EQ(fields[3], 9u);
  EXPECT_EQ(fields[4], 43u);
  ASSERT_EQ(current[4].first, 76);
  auto body = mapOf(current[4].second);
  EXPECT_EQ(as<int32_t>(body[1]), 16);
  EXPECT_EQ(as<int64_t>(body[2]), 5000);  // still since the second list (4000 ms), now 9000
  EXPECT_EQ(body.count(3), 0u);           // finish time: history only
  EXPECT_EQ(as<int32_t>(body[4]), 1234);
  EXPECT_EQ(as<int32_t>(body[5]), 1);
  EXPECT_EQ(body[7], (adt::Bytes{0x02, 0x01}));
  EXPECT_EQ(as<double>(body[9]), 2.5);
  EXPECT_EQ(text(body[13]), "main()");
  // The moving task has no still time and no stack.
  auto movingBody = mapOf(current[2].second);
  EXPECT_EQ(as<int64_t>(movingBody[2]), 0);
  EXPECT_EQ(text(movingBody[6]), "ожидание");
  EXPECT_EQ(movingBody.count(13), 0u);
  EXPECT_EQ(current[5].first, 5);
  EXPECT_NE(text(current[5].second).find("100=ожидание запросов"), std::string::npos);
  EXPECT_EQ(current[6].first, 90);
  EXPECT_DOUBLE_EQ(as<double>(current[6].second), 45000.26);

  // The stuck task finishes: with the history bit it follows the list with its finish time and
  // its stack as element 14; without the bit it is not counted.
  list.update({waiting}, 5000, 45000.27, 600000);
  const Elements plain = elementsOf(
      written([&](adt::TaggedWriter& out) { clients::writeTaskList(list, false, 9000, out); }));
  EXPECT_EQ(as<int32_t>(plain[0].second), 1);
  const Elements full = elementsOf(
      written([&](adt::TaggedWriter& out) { clients::writeTaskList(list, true, 9000, out); }));
  EXPECT_EQ(as<int32_t>(full[0].second), 2);
  ASSERT_EQ(full.size(), 8u);  // 60, 59, 76, 5, 90, 59, 76, 14
  EXPECT_EQ(full[5].first, 59);
  auto finished = mapOf(full[6].second);
  EXPECT_DOUBLE_EQ(as<double>(finished[3]), 45000.27);
  EXPECT_EQ(finished.count(13), 0u);
  EXPECT_EQ(full[7].first, 14);
  EXPECT_EQ(text(full[7].second), "main()");

  // An agent that never reported: no tasks, no decoding, time 0.
  TaskList empty;
  const Elements none = elementsOf(
      written([&](adt::TaggedWriter& out) { clients::writeTaskList(empty, true, 0, out); }));
  ASSERT_EQ(none.size(), 2u);
  EXPECT_EQ(as<int32_t>(none[0].second), 0);
  EXPECT_EQ(none[1].first, 90);
}

TEST_F(FiguresTest, KeptSamplesAnswerByHalfOpenWindowAndCountsCompleteLater) {
  Agent agent(host, section());
  running(agent);
  amp::Telemetry t;
  amp::Sample open;
  open.values.setWord(2, 1);
  t.samples.push_back(open);
  telemetry(agent, t);
  const double first = days();
  advance(5000);
  // The count of the open sample comes in the next datagram, before that one's own sample.
  amp::Telemetry next;
  next.leadingCount = 7;
  amp::Sample counted;
  counted.values.setWord(2, 2);
  counted.count = 3;
  next.samples.push_back(counted);
  telemetry(agent, next);
  const double second = days();
  // A later stray count finds nothing open and changes nothing.
  amp::Telemetry stray;
  stray.leadingCount = 99;
  telemetry(agent, stray);

  ASSERT_EQ(agent.samples.raw().size(), 2u);
  EXPECT_EQ(agent.samples.raw()[0].count, 7u);
  EXPECT_EQ(agent.samples.raw()[1].count, 3u);

  const auto window = [&](double from, double to) {
    return elementsOf(written(
        [&](adt::TaggedWriter& out) { clients::writeAgentSamples(agent.samples, from, to, out); }));
  };
  // from equal to a sample's time leaves it out; to equal to it takes it in.
  const Elements onlySecond = window(first, second);
  ASSERT_EQ(onlySecond.size(), 3u);
  EXPECT_DOUBLE_EQ(as<double>(onlySecond[0].second), second);
  EXPECT_EQ(onlySecond[1].first, 202);
  EXPECT_EQ(amp::decodePerformanceSample(onlySecond[1].second.data(), onlySecond[1].second.size())
                .word(2),
            2u);
  EXPECT_EQ(onlySecond[2].first, 25);
  EXPECT_EQ(as<int32_t>(onlySecond[2].second), 3);
  EXPECT_EQ(window(0, first).size(), 3u);
  EXPECT_TRUE(window(second, second + 1).empty());
}

TEST_F(FiguresTest, ProcessSamplesGiveProcessorSecondsOfTheLastQuarterHour) {
  ProcessSamples samples;
  const double t0 = 45000.5;
  const double second = 1.0 / 86400;
  // A sample older than 15 minutes, then three inside the window; another pid in between.
  samples.add({.time = t0 - 1000 * second, .pid = 10});
  samples.add({.time = t0 - 800 * second, .pid = 10, .userMs = 4000, .kernelMs = 1000});
  samples.add({.time = t0 - 700 * second, .pid = 11, .userMs = 900000, .kernelMs = 900000});
  samples.add({.time = t0 - 400 * second, .pid = 10, .userMs = 9000, .kernelMs = 2000});
  samples.add({.time = t0, .pid = 10, .userMs = 12000, .kernelMs = 3500});
  EXPECT_EQ(samples.processorSeconds(10, t0), 10);  // 15500 - 5000 ms
  EXPECT_EQ(samples.processorSeconds(11, t0), 0);   // a lone sample has no growth
  EXPECT_EQ(samples.processorSeconds(12, t0), 0);

  // The ring keeps the newest kLimit samples.
  ProcessSamples full;
  for (size_t i = 0; i < ProcessSamples::kLimit + 5; ++i) {
    full.add({.time = t0 + static_cast<double>(i) * second, .pid = 1, .userMs = i});
  }
  ASSERT_EQ(full.all().size(), ProcessSamples::kLimit);
  EXPECT_EQ(full.all().front().userMs, 5u);
}

TEST_F(FiguresTest, TelemetryFillsStatisticEightFromTheProcessSamples) {
  Agent agent(host, section());
  running(agent);
  const uint32_t pid = agent.process()->pid;
  agent.processSamples.add({.time = days() - 600.0 / 86400, .pid = pid, .userMs = 1000});
  agent.processSamples.add({.time = days(), .pid = pid, .userMs = 31000, .kernelMs = 2000});
  amp::Telemetry t;
  t.samples.push_back(amp::Sample{});
  telemetry(agent, t, 2);
  EXPECT_EQ(agent.load.statistics[7], 32);
  EXPECT_EQ(agent.load.statistics[0], 2);  // the other figures are still filled

  // A real process is sampled: its pid, and memory the system reports for it.
  testsupport::Child child({"/bin/sleep", "30"});
  ASSERT_GT(child.pid(), 0);
  Agent real(host, section("R", "r"));
  host.backend.nextPid = static_cast<uint32_t>(child.pid());
  launch(real);
  ASSERT_EQ(real.process()->pid, static_cast<uint32_t>(child.pid()));
  real.sampleProcess(days());
  ASSERT_EQ(real.processSamples.all().size(), 1u);
  const ProcessSample& s = real.processSamples.all().back();
  EXPECT_EQ(s.pid, static_cast<uint32_t>(child.pid()));
  EXPECT_GT(s.workingSetKiB, 0u);
  EXPECT_GE(s.peakWorkingSetKiB, s.workingSetKiB);
  // No process, nothing sampled.
  Agent idle(host, section("I", "i"));
  idle.sampleProcess(days());
  EXPECT_TRUE(idle.processSamples.all().empty());
}

TEST_F(FiguresTest, ListDetailsShowSettingsLoadAndTheNewestProcessSample) {
  config::AgentConf conf = section("Detail", "d");
  conf.args = "--flag";
  conf.dir = "/srv/detail";
  Agent agent(host, conf);
  running(agent);
  const uint32_t pid = agent.process()->pid;
  // Another process's sample on either side of this one's: an earlier run, and not this one.
  const auto ones = [&](uint32_t other) {
    return ProcessSample{.time = days(),
                         .pid = other,
                         .workingSetKiB = 1,
                         .userMs = 1,
                         .kernelMs = 1,
                         .peakWorkingSetKiB = 1,
                         .pageFileKiB = 1};
  };
  agent.processSamples.add(ones(pid + 1));
  agent.processSamples.add({.time = days(),
                            .pid = pid,
                            .workingSetKiB = 2048,
                            .userMs = 700,
                            .kernelMs = 300,
                            .peakWorkingSetKiB = 4096,
                            .pageFileKiB = 16});
  agent.processSamples.add(ones(pid + 2));
  agent.load.score = 1234;
  agent.load.statistics[2] = 77;
  agent.load.idleSinceTick = now();
  agent.version = std::make_shared<testing::FakeVersion>(adt::makeVersion(5, 2, 310), dir.path(),
                                                         DeployState::kReady);

  auto fields =
      mapOf(written([&](adt::TaggedWriter& out) { clients::writeAgentStatus(agent, out); }));
  EXPECT_EQ(text(fields[10]), "/opt/agent/run");
  EXPECT_EQ(text(fields[26]), "--flag");
  EXPECT_EQ(text(fields[33]), "/srv/detail");
  EXPECT_EQ(text(fields[90]), "5.2.310");  // the distribution in use
  EXPECT_EQ(as<int32_t>(fields[59]), 1234);
  EXPECT_EQ(as<int32_t>(fields[109]), 1);  // idle only just now
  auto stats = mapOf(fields[29]);
  ASSERT_EQ(stats.size(), 15u);
  EXPECT_EQ(as<int64_t>(stats[3]), 77);
  auto sample = mapOf(fields[92]);
  EXPECT_EQ(as<int32_t>(sample[1]), static_cast<int32_t>(pid));
  EXPECT_EQ(as<int64_t>(sample[2]), 700);
  EXPECT_EQ(as<int64_t>(sample[4]), 2048);
  EXPECT_EQ(as<int64_t>(sample[6]), 16);

  // Idle past the limit of the health checks.
  advance(kIdleLimitMs);
  fields = mapOf(written([&](adt::TaggedWriter& out) { clients::writeAgentStatus(agent, out); }));
  EXPECT_EQ(as<int32_t>(fields[109]), 0);

  // A stopped agent shows its settings but no process figures.
  Agent stopped(host, section("Off", "o"));
  fields = mapOf(written([&](adt::TaggedWriter& out) { clients::writeAgentStatus(stopped, out); }));
  EXPECT_EQ(text(fields[10]), "/opt/agent/run");
  EXPECT_EQ(fields.count(92), 0u);
  EXPECT_EQ(fields.count(29), 0u);
  EXPECT_EQ(fields.count(109), 0u);
}

}  // namespace
}  // namespace agents
