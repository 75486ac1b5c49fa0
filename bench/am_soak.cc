// Soak driver, run by hand: the real am with real demo agents under mixed load for a long time.
//
//   build/bench/am_soak [--am build/am] [--demo build/demo-agent] [--agents 200]
//                       [--minutes 60] [--rate 200] [--kill-seconds 5] [--warmup-minutes 5]
//                       [--telemetry-ms 60000] [--keep-logs DIR]
//
// am supervises --agents demo agents (all-day schedule, telemetry every --telemetry-ms). Every
// second --rate conversations start, each on a fresh connection, spread over a pool of threads:
// agents lists, agent information after a login, a settings read after a login, a bare login,
// the web page and the web JSON list. Every --kill-seconds one running demo agent chosen at
// random is killed (SIGKILL); am must start it again. At the end the killing stops and the driver
// waits (bounded) for every agent to run again. It reports:
//   - conversations answered (a whole reply, an error reply included: the manager answered) and
//     failed (refused, timed out, closed without a reply), per kind, with the error texts seen;
//   - conversations the pool could not start in time (the driver was behind, not am);
//   - am's resident memory and descriptors before the load, after the warm-up and at the end;
//   - agents lost: configured to run and not running at the end;
//   - every log line of am at ERR or worse, grouped by text.
// --keep-logs DIR copies am's log directory there at the end (the home itself is removed).
// Targets: 0 failed, 0 lost, resident memory drift < 5 % (after the warm-up to the end, less
// the growth of the sample histories that the manager reports on /metrics: they fill by design
// up to their limits, a day of process samples and 65,536 telemetry samples per agent),
// descriptors back to their count before the load. Both counts are settled ones: every agent
// running, no conversation open, and the same count read over more than one 5-second sample
// round (each agent process holds two more from its first process sample on). The count after
// the warm-up is taken under load, so it is shown but not compared.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "adt/socket.h"
#include "adt/text.h"
#include "amclient/amclient.h"
#include "load_support.h"

namespace {

using amload::Clock;
using amload::Ms;

struct Options {
  std::string am, demo, keepLogs;
  int agents = 200;
  int minutes = 60;
  int rate = 200;
  int killSeconds = 5;
  int warmupMinutes = 5;
  // Telemetry fills each agent's sample history (by design, up to its cap), which would show
  // as growth; a sample a minute keeps the history's share of the drift small.
  int telemetryMs = 60000;
};

constexpr const char* kAdmin = "admin";
constexpr const char* kPassword = "soak-secret";
constexpr uint32_t kTimeoutMs = 10000;

enum Kind { kList, kInfo, kSettings, kLogin, kWebPage, kWebList, kKinds };
const char* kindName(int k) {
  static const char* const names[] = {"agents list", "agent info", "settings read",
                                      "login",       "web page",   "web list"};
  return names[k];
}
// Out of 20 conversations.
Kind kindOf(uint32_t draw) {
  static const Kind mix[20] = {kList,     kList,     kList,    kList,    kList,    kList,   kList,
                               kList,     kInfo,     kInfo,    kInfo,    kInfo,    kLogin,  kLogin,
                               kSettings, kSettings, kWebPage, kWebPage, kWebList, kWebList};
  return mix[draw % 20];
}

// What one kind of conversation came to.
struct Tally {
  uint64_t answered = 0, errorReplies = 0, failed = 0;
  std::map<std::string, uint64_t> errors;    // error reply texts
  std::map<std::string, uint64_t> failures;  // why no answer came
};

class Results {
 public:
  void answered(int kind, const std::string& errorText) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tally& t = tallies_[kind];
    ++t.answered;
    if (!errorText.empty() && t.errors.size() < 50) ++t.errors[errorText];
    if (!errorText.empty()) ++t.errorReplies;
  }
  void failed(int kind, const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (printed_ < 20) {
      ++printed_;
      std::printf("  FAILED %s: %s\n", kindName(kind), why.c_str());
      std::fflush(stdout);
    }
    Tally& t = tallies_[kind];
    ++t.failed;
    if (t.failures.size() < 50) ++t.failures[why];
  }
  uint64_t totalAnswered() const { return sum(&Tally::answered); }
  uint64_t totalFailed() const { return sum(&Tally::failed); }
  std::vector<Tally> snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<Tally>(tallies_, tallies_ + kKinds);
  }

 private:
  uint64_t sum(uint64_t Tally::*field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = 0;
    for (const Tally& t : tallies_) n += t.*field;
    return n;
  }
  mutable std::mutex mutex_;
  Tally tallies_[kKinds];
  int printed_ = 0;  // failures printed as they happen
};

// The protocol conversations: a fresh connection each, closed by the manager after its reply.
void talk(int kind, uint16_t clientPort, const std::string& agentName, Results& results) {
  try {
    amclient::Connection c(kTimeoutMs);
    c.open(0x0100007F, clientPort);  // 127.0.0.1 in network byte order
    if (kind != kList) {
      const amclient::LoginResult login = c.login(kAdmin, kPassword);
      if (!login.ok) {
        results.answered(kind, "login refused: " + login.failureText);
        return;
      }
      if (kind == kLogin) {
        results.answered(kind, "");
        return;
      }
    }
    if (kind == kList) {
      c.sendCommand(32, {});
    } else if (kind == kInfo) {
      c.sendCommand(36, amclient::Element::integer(0, 0).value,
                    {amclient::Element::text(54, agentName), amclient::Element(9, {})});
    } else {
      c.sendCommand(39, {}, {amclient::Element::text(1, "ini"), amclient::Element(9, {})});
    }
    const amclient::Reply reply = c.readUntilClosed();
    if (reply.failed) {
      results.answered(kind, reply.errorText);
    } else if (reply.elements.empty()) {
      results.failed(kind, "closed without a reply");
    } else {
      results.answered(kind, "");
    }
  } catch (const amclient::ReplyError& e) {
    results.answered(kind, e.replyText());
  } catch (const std::exception& e) {
    results.failed(kind, e.what());
  }
}

// GET `path` from the web port: the first `keep` bytes of the answer; throws on a time-out.
std::string httpGet(uint16_t httpPort, const std::string& path, size_t keep) {
  adt::Socket s;
  s.create(adt::Socket::STREAM);
  s.connect(0x0100007F, httpPort);
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  s.sendAll(request.data(), request.size());
  std::string answer;
  char buffer[16384];
  for (;;) {
    if (!s.waitReadable(kTimeoutMs)) throw std::runtime_error("timed out");
    const int n = s.recv(buffer, sizeof buffer);
    if (n <= 0) break;
    if (answer.size() < keep)
      answer.append(buffer, std::min(static_cast<size_t>(n), keep - answer.size()));
  }
  return answer;
}

// The manager's own count of the bytes its sample histories hold (they grow by design, each
// up to its limit); 0 when it cannot be read.
uint64_t historyBytes(uint16_t httpPort) {
  try {
    const std::string metrics = httpGet(httpPort, "/metrics", 1u << 20);
    const std::string key = "\nam_sample_history_bytes ";
    const size_t at = metrics.find(key);
    return at == std::string::npos ? 0 : std::stoull(metrics.substr(at + key.size()));
  } catch (const std::exception&) {
    return 0;
  }
}

// A whole HTTP answer with a status line of 200 counts as answered.
void web(int kind, uint16_t httpPort, Results& results) {
  try {
    const std::string answer = httpGet(httpPort, kind == kWebList ? "/list" : "/", 64);
    if (answer.rfind("HTTP/1.", 0) != 0) {
      results.failed(kind, "no status line");
    } else if (answer.compare(8, 5, " 200 ") != 0) {
      results.answered(kind, answer.substr(0, answer.find('\r')));
    } else {
      results.answered(kind, "");
    }
  } catch (const std::exception& e) {
    results.failed(kind, e.what());
  }
}

// A fixed pool of threads taking conversations from a bounded queue.
class Pool {
 public:
  Pool(int threads, size_t queueCap, std::function<void(int, uint32_t)> work)
      : cap_(queueCap), work_(std::move(work)) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  // False when the queue is full: the driver is behind.
  bool offer(int kind, uint32_t draw) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.size() >= cap_) return false;
      queue_.emplace_back(kind, draw);
    }
    ready_.notify_one();
    return true;
  }

 private:
  void run() {
    for (;;) {
      std::pair<int, uint32_t> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
        if (queue_.empty()) return;
        job = queue_.front();
        queue_.pop_front();
      }
      work_(job.first, job.second);
    }
  }
  size_t cap_;
  std::function<void(int, uint32_t)> work_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<int, uint32_t>> queue_;
  bool done_ = false;
  std::vector<std::thread> threads_;
};

// Log lines of am at ERR, DDL or DANGER, grouped by their text after the level (the time and
// ids cut off, numbers kept).
std::map<std::string, uint64_t> errorLines(const std::string& home, uint64_t& read) {
  std::map<std::string, uint64_t> lines;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(home + "/log", ec)) {
    if (entry.path().extension() != ".log") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      ++read;
      const size_t ids = line.find("] ");
      if (ids == std::string::npos) continue;
      const std::string rest = line.substr(ids + 2);
      for (const char* level : {"ERR ", "DDL ", "DANGER "}) {
        if (rest.rfind(level, 0) == 0) {
          std::string text = adt::fromCp1251(rest);
          if (!text.empty() && text.back() == '\r') text.pop_back();
          ++lines[entry.path().filename().string() + ": " + text.substr(0, 200)];
        }
      }
    }
  }
  return lines;
}

std::string hex(const uint8_t* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += adt::format("%02x", p[i]);
  return out;
}

void note(const std::string& text) {
  std::printf("  %s\n", text.c_str());
  std::fflush(stdout);
}

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

bool parse(int argc, char** argv, Options& o) {
  const std::filesystem::path build = std::filesystem::path(argv[0]).parent_path().parent_path();
  o.am = (build / "am").string();
  o.demo = std::filesystem::absolute(build / "demo-agent").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    int* number = a == "--agents"           ? &o.agents
                  : a == "--minutes"        ? &o.minutes
                  : a == "--rate"           ? &o.rate
                  : a == "--kill-seconds"   ? &o.killSeconds
                  : a == "--warmup-minutes" ? &o.warmupMinutes
                  : a == "--telemetry-ms"   ? &o.telemetryMs
                                            : nullptr;
    if (number) {
      *number = std::atoi(v.c_str());
    } else if (a == "--am") {
      o.am = v;
    } else if (a == "--keep-logs") {
      o.keepLogs = v;
    } else if (a == "--demo") {
      o.demo = std::filesystem::absolute(v).string();
    } else {
      return false;
    }
  }
  return o.agents > 0 && o.agents <= 2000 && o.minutes > 0 && o.rate > 0 && o.rate <= 5000 &&
         o.killSeconds >= 0 && o.warmupMinutes >= 0 && o.warmupMinutes < o.minutes &&
         o.telemetryMs >= 10 && o.telemetryMs <= 3600000;
}

// am's descriptor count once it holds still: the same count over more than one 5-second
// process-sample round (read every half second, at most a minute). -1 when it never settled.
int settledDescriptors(const amload::Manager& m) {
  const auto cap = Clock::now() + std::chrono::seconds(60);
  int held = m.descriptors();
  auto since = Clock::now();
  while (Clock::now() < cap) {
    std::this_thread::sleep_for(Ms(500));
    const int now = m.descriptors();
    if (now != held) {
      held = now, since = Clock::now();
    } else if (secondsSince(since) > 6) {
      return held;
    }
  }
  return -1;
}

int freeTcpPort() {
  adt::Socket s;
  s.create(adt::Socket::STREAM);
  s.bind(0x0100007F, 0);
  return s.localPort();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--am build/am] [--demo build/demo-agent] [--agents 200] "
                 "[--minutes 60]\n          [--rate 200] [--kill-seconds 5] "
                 "[--warmup-minutes 5] [--telemetry-ms 60000] [--keep-logs DIR]\n",
                 argv[0]);
    return 2;
  }
  amload::installSignalHandlers(static_cast<unsigned>(o.minutes) * 60 + 600 +
                                static_cast<unsigned>(o.agents) / 2);
  amload::raiseDescriptorLimit();

  amload::ManagerSetup setup;
  setup.agents = o.agents;
  setup.demoAgent = o.demo;
  setup.telemetryMs = static_cast<uint32_t>(o.telemetryMs);
  const int httpPort = freeTcpPort();
  setup.commonLines = "http_port=" + std::to_string(httpPort) + "\n";
  setup.sections = std::string("\n[user]\nname=") + kAdmin + "\npermissions=rw\n";
  {
    const amclient::Salt salt{'s', 'o', 'a', 'k', 's', 'a', 'l', 't'};
    const amclient::Digest hash = amclient::passwordHash(kAdmin, salt, kPassword);
    setup.files.emplace_back("am.sec", std::string(kAdmin) + "=" + hex(salt.data(), salt.size()) +
                                           hex(hash.data(), hash.size()) + "\n");
  }
  std::printf(
      "am_soak: am %s, %d demo agents (telemetry every %d ms), %d conversations/s, one "
      "agent killed every %d s, %d min (warm-up %d min)\n",
      o.am.c_str(), o.agents, o.telemetryMs, o.rate, o.killSeconds, o.minutes, o.warmupMinutes);
  std::fflush(stdout);

  auto m = std::make_unique<amload::Manager>(o.am, setup);
  if (!m->waitReady(Ms(30000))) {
    std::printf("am did not answer:\n%s\n", m->outputTail(1000).c_str());
    return 1;
  }
  const int running = m->waitForAgents(o.agents, Ms(30000 + o.agents * 60));
  if (running < o.agents) {
    std::printf("only %d of %d agents ran:\n%s\n", running, o.agents, m->outputTail(1000).c_str());
    return 1;
  }
  const int fdsBefore = settledDescriptors(*m);
  const uint64_t rssBefore = m->rssKiB();
  note(adt::format("%d agents running; RSS %llu KiB, %d descriptors", running,
                   static_cast<unsigned long long>(rssBefore), fdsBefore));

  Results results;
  std::atomic<uint64_t> behind{0}, kills{0};
  const uint16_t clientPort = m->clientPort();
  {
    // Enough threads that a slow conversation does not hold back the rate: each takes at most
    // a few milliseconds when all is well.
    Pool pool(32, static_cast<size_t>(o.rate) * 2, [&](int kind, uint32_t draw) {
      if (kind == kWebPage || kind == kWebList) {
        web(kind, static_cast<uint16_t>(httpPort), results);
      } else {
        talk(kind, clientPort, adt::format("Demo agent %u", draw % o.agents), results);
      }
    });
    std::mt19937 random(12345);
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::minutes(o.minutes);
    const auto warm = t0 + std::chrono::minutes(o.warmupMinutes);
    uint64_t rssWarm = 0, historyWarm = 0;
    int fdsWarm = 0;
    auto nextKill = t0 + std::chrono::seconds(o.killSeconds);
    std::vector<pid_t> seen = m->agentPids();
    auto nextReport = t0 + std::chrono::minutes(1);
    uint64_t started = 0;
    while (!amload::gStop && Clock::now() < end) {
      // Conversations due by now, at the rate: a late tick catches up, at most one second.
      const double due = secondsSince(t0) * o.rate;
      uint64_t burst = 0;
      while (started < due && burst < static_cast<uint64_t>(o.rate)) {
        const uint32_t draw = static_cast<uint32_t>(random());
        if (!pool.offer(kindOf(draw), draw >> 5)) ++behind;
        ++started;
        ++burst;
      }
      if (started < due) behind += static_cast<uint64_t>(due) - started, started = due;
      const auto now = Clock::now();
      if (o.killSeconds > 0 && now >= nextKill) {
        nextKill += std::chrono::seconds(o.killSeconds);
        // Only a process that already ran at the previous round: one killed before it has
        // reported its start counts as a failed start, and automatic starts then hold off
        // for a quarter of an hour by design.
        std::vector<pid_t> pids = m->agentPids(), old;
        for (pid_t pid : pids) {
          if (std::find(seen.begin(), seen.end(), pid) != seen.end()) old.push_back(pid);
        }
        seen = std::move(pids);
        if (!old.empty() && ::kill(old[random() % old.size()], SIGKILL) == 0) ++kills;
      }
      if (rssWarm == 0 && now >= warm) {
        rssWarm = m->rssKiB();
        fdsWarm = m->descriptors();
        historyWarm = historyBytes(static_cast<uint16_t>(httpPort));
        note(adt::format("after the warm-up: RSS %llu KiB, %d descriptors, histories %llu KiB",
                         static_cast<unsigned long long>(rssWarm), fdsWarm,
                         static_cast<unsigned long long>(historyWarm / 1024)));
      }
      if (now >= nextReport) {
        nextReport += std::chrono::minutes(1);
        note(adt::format(
            "%.0f min: %llu answered, %llu failed, %llu behind, %llu killed; "
            "RSS %llu KiB, %d descriptors, %d agents running",
            secondsSince(t0) / 60, static_cast<unsigned long long>(results.totalAnswered()),
            static_cast<unsigned long long>(results.totalFailed()),
            static_cast<unsigned long long>(behind.load()),
            static_cast<unsigned long long>(kills.load()),
            static_cast<unsigned long long>(m->rssKiB()), m->descriptors(), m->agentProcesses()));
      }
      std::this_thread::sleep_for(Ms(5));
    }
    const double seconds = secondsSince(t0);
    // The pool ends here: every conversation offered is finished.
    note(adt::format("load ran %.0f s; %llu conversations started", seconds,
                     static_cast<unsigned long long>(started)));
    if (rssWarm == 0) rssWarm = rssBefore, fdsWarm = fdsBefore;

    // Killing has stopped: every agent must come back.
    const int back = m->waitForAgents(o.agents, Ms(120000));
    // The last connections' ends are handled, restarted agents have had their first sample.
    const int fdsEnd = settledDescriptors(*m);
    const uint64_t rssEnd = m->rssKiB();
    const uint64_t historyEnd = historyBytes(static_cast<uint16_t>(httpPort));

    std::printf("\n| kind | answered | of which error replies | failed |\n|---|---|---|---|\n");
    const std::vector<Tally> tallies = results.snapshot();
    for (int k = 0; k < kKinds; ++k) {
      std::printf("| %s | %llu | %llu | %llu |\n", kindName(k),
                  static_cast<unsigned long long>(tallies[k].answered),
                  static_cast<unsigned long long>(tallies[k].errorReplies),
                  static_cast<unsigned long long>(tallies[k].failed));
    }
    for (int k = 0; k < kKinds; ++k) {
      for (const auto& [text, n] : tallies[k].errors) {
        std::printf("  %s: error reply x%llu: %s\n", kindName(k),
                    static_cast<unsigned long long>(n), text.c_str());
      }
      for (const auto& [text, n] : tallies[k].failures) {
        std::printf("  %s: FAILED x%llu: %s\n", kindName(k), static_cast<unsigned long long>(n),
                    text.c_str());
      }
    }
    const double drift =
        rssWarm ? (static_cast<double>(rssEnd) - static_cast<double>(rssWarm)) * 100 / rssWarm : 0;
    // The growth the histories explain (by design, up to their limits) taken out.
    const double historyGrowthKiB =
        (static_cast<double>(historyEnd) - static_cast<double>(historyWarm)) / 1024;
    const double unexplained =
        rssWarm ? (static_cast<double>(rssEnd) - static_cast<double>(rssWarm) - historyGrowthKiB) *
                      100 / rssWarm
                : 0;
    const uint64_t failed = results.totalFailed();
    std::printf("\n| figure | value | target | verdict |\n|---|---|---|---|\n");
    std::printf("| conversations answered | %llu (%.0f/s) | - | - |\n",
                static_cast<unsigned long long>(results.totalAnswered()),
                results.totalAnswered() / seconds);
    std::printf("| conversations failed | %llu | 0 | %s |\n",
                static_cast<unsigned long long>(failed), failed == 0 ? "met" : "missed");
    std::printf("| not started in time (driver behind) | %llu | - | - |\n",
                static_cast<unsigned long long>(behind.load()));
    std::printf("| agents killed | %llu | - | - |\n",
                static_cast<unsigned long long>(kills.load()));
    std::printf("| agents lost | %d | 0 | %s |\n", o.agents - back,
                back >= o.agents ? "met" : "missed");
    std::printf("| RSS before load / after warm-up / end | %llu / %llu / %llu KiB | - | - |\n",
                static_cast<unsigned long long>(rssBefore),
                static_cast<unsigned long long>(rssWarm), static_cast<unsigned long long>(rssEnd));
    std::printf("| RSS drift after warm-up | %+.2f %% | - | - |\n", drift);
    std::printf("| sample histories after warm-up / end | %.0f / %.0f KiB | - | - |\n",
                historyWarm / 1024.0, historyEnd / 1024.0);
    std::printf("| RSS drift beyond the histories' growth | %+.2f %% | < 5 %% | %s |\n",
                unexplained, unexplained < 5 ? "met" : "missed");
    // A count that never settled (-1) is no count: two of them are not "the same".
    const bool fdsSame = fdsBefore >= 0 && fdsEnd == fdsBefore;
    std::printf(
        "| descriptors before load / after warm-up / end | %d / %d / %d | end = before "
        "load | %s |\n",
        fdsBefore, fdsWarm, fdsEnd, fdsSame ? "met" : "missed");
    uint64_t logLines = 0;
    const std::map<std::string, uint64_t> errors = errorLines(m->home(), logLines);
    uint64_t errorCount = 0;
    for (const auto& [text, n] : errors) errorCount += n;
    std::printf("| log lines at ERR or worse | %llu of %llu read | - | - |\n",
                static_cast<unsigned long long>(errorCount),
                static_cast<unsigned long long>(logLines));
    for (const auto& [text, n] : errors) {
      std::printf("  x%llu %s\n", static_cast<unsigned long long>(n), text.c_str());
    }
    std::fflush(stdout);
    if (!o.keepLogs.empty()) {
      std::error_code ec;
      std::filesystem::copy(m->home() + "/log", o.keepLogs,
                            std::filesystem::copy_options::recursive |
                                std::filesystem::copy_options::overwrite_existing,
                            ec);
      std::printf("am's logs %s %s\n", ec ? "could not be copied to" : "kept in",
                  o.keepLogs.c_str());
    }
    const bool ok = failed == 0 && back >= o.agents && unexplained < 5 && fdsSame;
    m.reset();
    return ok ? 0 : 1;
  }
}
