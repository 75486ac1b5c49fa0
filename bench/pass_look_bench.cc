// The look a supervision pass makes for ended agent processes, with N children running (none
// ended): one wait for any ended child (it walks every child in the system's table), against
// one look at every child's exit handle through the pipe watch plus the per-agent question.
//
//   build/bench/pass_look_bench
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/pipe.h"
#include "platform/process.h"

namespace {

struct Children {
  explicit Children(int n) {
    platform::SpawnOptions sleeper;
    sleeper.args = {"sleep", "600"};
    for (int i = 0; i < n; ++i) {
      auto p = std::make_unique<platform::Process>();
      if (!p->spawn(sleeper)) break;
      processes.push_back(std::move(p));
    }
  }
  ~Children() {
    for (auto& p : processes) p->terminate();
    for (auto& p : processes) {
      while (!p->hasEnded()) platform::sleepMs(1);
    }
  }
  std::vector<std::unique_ptr<platform::Process>> processes;
};

void BM_WaitForAnyEndedChild(benchmark::State& state) {
  Children children(static_cast<int>(state.range(0)));
  if (children.processes.size() != static_cast<size_t>(state.range(0))) {
    state.SkipWithError("could not start the children");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(platform::anyChildEnded());
}

void BM_LookAtExitHandles(benchmark::State& state) {
  Children children(static_cast<int>(state.range(0)));
  platform::PipeWatch watch;
  for (auto& p : children.processes) {
    if (!watch.add(p->exitHandle())) {
      state.SkipWithError("no exit handle to watch");
      return;
    }
  }
  for (auto _ : state) {
    watch.look();
    bool any = false;
    for (auto& p : children.processes) any |= watch.mayBeReady(p->exitHandle());
    benchmark::DoNotOptimize(any);
  }
  for (auto& p : children.processes) watch.remove(p->exitHandle());
}

BENCHMARK(BM_WaitForAnyEndedChild)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookAtExitHandles)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
