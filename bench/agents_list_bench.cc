// The agents list and the supervision pass against the number of agents, with the fake process
// backend of the unit tests: every agent running and linked, each with a day of the manager's
// own process samples behind it (most of them of an earlier process).
//
//   build/bench/agents_list_bench [--benchmark_filter=...]
//
// Target: the list of 200 agents built in well under 1 ms.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "agent_test_fakes.h"
#include "clients/agents_list.h"

namespace {

using agents::Agent;
using agents::AgentList;

constexpr uint32_t kLoopback = 0x7F000001;

// n running agents, one section each, or one section of n workers.
class Fleet {
 public:
  Fleet(int n, bool oneGroup) {
    if (oneGroup) {
      config::AgentConf c = section(0);
      c.workerProcesses = n;
      c.totalProcesses = n;
      list.push_back(std::make_unique<Agent>(host, c));
      list.back()->applyWorkers(list);
    } else {
      for (int i = 0; i < n; ++i) list.push_back(std::make_unique<Agent>(host, section(i)));
    }
    uint16_t port = 40000;
    for (auto& agent : list) {
      agent->agentStartProcess("bench", false);
      agent->runOnce();
      agents::AgentStartReport report;
      report.pid = agent->process()->pid;
      agent->process()->attachLink(port++, report);
      // A day of 5-second samples, the newest of them of this process.
      const double now = platform::toFractionalDays(host.clock().localNow());
      for (size_t k = 0; k < agents::ProcessSamples::kLimit; ++k) {
        const bool current = k + 10 >= agents::ProcessSamples::kLimit;
        agents::ProcessSample s;
        s.time = now - static_cast<double>(agents::ProcessSamples::kLimit - k) * 5 / 86400;
        s.pid = current ? agent->process()->pid : 1;
        s.userMs = k;
        agent->processSamples.add(s);
      }
    }
  }

  agents::testing::LogCapture logs;
  testsupport::TempDir dir;
  agents::testing::FakeHost host{dir.path()};
  AgentList list;

 private:
  static config::AgentConf section(int i) {
    config::AgentConf c;
    c.name = "Agent " + std::to_string(i);
    c.id = "agent" + std::to_string(i);
    c.description = "One of the agents of the list benchmark";
    c.cmd = "/opt/agent/run";
    return c;
  }
};

void listOf(benchmark::State& state, bool loggedIn, bool oneGroup) {
  Fleet fleet(static_cast<int>(state.range(0)), oneGroup);
  clients::ListViewer viewer;
  viewer.address = kLoopback;
  viewer.loggedIn = loggedIn;
  viewer.revision = 2;
  size_t bytes = 0;
  adt::MemoryTaggedWriter out;  // kept between lists, as the request handler keeps its own
  for (auto _ : state) {
    out.clear();
    clients::writeAgentRecords(fleet.list, viewer, clients::ListFilter{}, out);
    bytes = out.size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}

void BM_AgentsListPlain(benchmark::State& state) { listOf(state, false, false); }
void BM_AgentsListLoggedIn(benchmark::State& state) { listOf(state, true, false); }
void BM_AgentsListLoggedInOneGroup(benchmark::State& state) { listOf(state, true, true); }

// One supervision pass over every agent (what the periodic step does ten times a second).
void supervision(benchmark::State& state, bool oneGroup) {
  Fleet fleet(static_cast<int>(state.range(0)), oneGroup);
  for (auto _ : state) {
    for (auto& agent : fleet.list) agent->runOnce();
    fleet.host.fakeClock.advance(100);
  }
}
void BM_SupervisionPass(benchmark::State& state) { supervision(state, false); }
void BM_SupervisionPassOneGroup(benchmark::State& state) { supervision(state, true); }

// The penalties of every member of a group of n against all the others, as a pass needs them:
// member by member (what a pass of a large group did, n² comparisons) and from one ranking.
std::vector<agents::LoadStatistics> groupRows(size_t n) {
  std::vector<agents::LoadStatistics> rows(n);
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < rows[i].size(); ++k) rows[i][k] = static_cast<int64_t>((i * 31 + k * 7) % 97);
  }
  return rows;
}

void BM_GroupPenaltiesOneByOne(benchmark::State& state) {
  const std::vector<agents::LoadStatistics> rows = groupRows(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    uint64_t total = 0;
    for (size_t a = 0; a < rows.size(); ++a) {
      for (size_t b = 0; b < rows.size(); ++b) {
        if (a != b) total += agents::loadPenalty(rows[a], rows[b]);
      }
    }
    benchmark::DoNotOptimize(total);
  }
}

void BM_GroupPenaltiesRanked(benchmark::State& state) {
  const std::vector<agents::LoadStatistics> rows = groupRows(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    agents::GroupRanking ranking;
    ranking.build(rows);
    uint64_t total = 0;
    for (size_t a = 0; a < rows.size(); ++a) total += ranking.penalty(rows[a], a);
    benchmark::DoNotOptimize(total);
  }
}

// The load statistics one telemetry asks for, with a sample a second behind it (a full quarter
// hour: 900 samples): counted from the samples each time (what every telemetry did) and from the
// windows kept since the last telemetry. Each iteration is one telemetry: statistics, then the
// new sample.
template <bool kKept>
void telemetryStatistics(benchmark::State& state) {
  const double second = 1.0 / 86400;
  agents::SampleHistory h;
  double t = 45000.5;
  uint32_t i = 0;
  const auto one = [&] {
    agents::amp::PerformanceSample s;
    s.setWord(2, i);
    s.setNestedValue(1, (i % 97) * 131072);
    s.setNestedValue(5, 128 * 131072);
    h.store(t, 4000, agents::amp::Sample{agents::amp::encodePerformanceSample(s), s, 0});
    t += second;
    ++i;
  };
  for (int k = 0; k < 3600; ++k) one();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kKept ? h.compute(t) : h.computeByWalk(t));
    one();
  }
}
void BM_TelemetryStatisticsCounted(benchmark::State& state) { telemetryStatistics<false>(state); }
void BM_TelemetryStatisticsKept(benchmark::State& state) { telemetryStatistics<true>(state); }

BENCHMARK(BM_GroupPenaltiesOneByOne)->Arg(64)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GroupPenaltiesRanked)->Arg(64)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AgentsListPlain)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AgentsListLoggedIn)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AgentsListLoggedInOneGroup)->Arg(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SupervisionPass)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TelemetryStatisticsCounted);
BENCHMARK(BM_TelemetryStatisticsKept);
BENCHMARK(BM_SupervisionPassOneGroup)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
