// Log throughput: lines per second appended by SystemWriteLog from one and from four threads.
// "written" counts the lines that reached the main file; under contention the pending-text
// bound may drop some of the calls.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "adt/log.h"
#include "platform/self.h"

namespace {

namespace fs = std::filesystem;

constexpr char kMessage[] = "agent 12 (orders) started: process 4711, client port 5010";

// One temporary log directory for the whole run, removed at exit.
const std::string& logDir() {
  static const std::string dir = [] {
    std::random_device rd;
    fs::path p;
    do {
      p = fs::temp_directory_path() /
          ("am_log_bench_" + std::to_string(platform::currentProcessId()) + "_" +
           std::to_string(rd()));
    } while (!fs::create_directory(p));
    std::atexit([] { fs::remove_all(logDir()); });
    return p.string();
  }();
  return dir;
}

uint64_t lineCount(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buf(1 << 20);
  uint64_t lines = 0;
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    lines += static_cast<uint64_t>(std::count(buf.begin(), buf.begin() + in.gcount(), '\n'));
  }
  return lines;
}

void BM_LogLine(benchmark::State& state) {
  const std::string base = logDir() + "/am";
  uint64_t before = 0;
  if (state.thread_index() == 0) {
    adt::setLogBase(base);
    before = lineCount(base + ".log");
  }
  for (auto _ : state) adt::SystemWriteLog(adt::LOG_INFO, kMessage);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    const uint64_t written = lineCount(base + ".log") - before;
    state.counters["written"] =
        benchmark::Counter(static_cast<double>(written), benchmark::Counter::kIsRate);
  }
}
BENCHMARK(BM_LogLine)->Threads(1)->Threads(4)->UseRealTime();

void BM_ErrLine(benchmark::State& state) {
  if (state.thread_index() == 0) adt::setLogBase(logDir() + "/am");
  for (auto _ : state) adt::SystemWriteLog(adt::LOG_ERR, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ErrLine)->Threads(1)->UseRealTime();

}  // namespace
