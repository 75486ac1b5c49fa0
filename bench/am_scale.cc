// Scale driver, run by hand: the real am supervising N real demo agents.
//
//   build/bench/am_scale [--am build/am] [--before <an older am>] [--demo build/demo-agent]
//                        [--agents 20,200,1000] [--minutes 10] [--telemetry-ms 1000]
//                        [--seconds 3]
//
// For each N (and for each executable: --before first, then --am, so that the two figures of
// one row come from the same run) it starts am from a temporary home with N demo agents that
// an all-day schedule starts at once and that send telemetry every second, and reports:
//   - am's resident memory once every agent runs ("after start"), the part of it that is pages
//     of mapped files (code of am and its libraries, shared with other processes), and per agent;
//   - am's processor time over 10 s while the agents only send telemetry ("idle");
//   - the agents-list rate on fresh connections from 2 threads;
//   - am's resident memory after --minutes of telemetry, and per agent;
//   - the time from "q" on am's console until am has ended and no demo agent of its home runs;
//   - the floor for "idle": the processor time of a process that does nothing but wake for and
//     receive the same datagrams (N sockets, one 200-byte datagram each a second, spread
//     evenly), measured in the same run.
// Targets: after start <= 8 MiB + 64 KiB per agent; after 10 minutes <= 1 MiB per agent; idle
// <= 2 % of one core with 1000 agents; "q" with 1000 agents < 10 s.
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adt/text.h"
#include "load_support.h"

namespace {

using amload::Clock;
using amload::Ms;

struct Options {
  std::string am, before, demo;
  std::vector<int> agents{20, 200, 1000};
  int minutes = 10;
  int telemetryMs = 1000;
  int seconds = 3;
};

struct Figures {
  bool ok = false;
  std::string failure;
  int running = 0;
  double startSeconds = 0;  // until every agent ran
  uint64_t rssStartKiB = 0, rssLaterKiB = 0, rssStartFileKiB = 0;
  double idlePercent = 0;
  double floorPercent = 0;
  double listRate = 0;
  uint64_t listFailed = 0;
  double quitSeconds = 0;
  bool quitClean = false;  // am ended by itself and no agent was left
  int leftRunning = 0;
};

void note(const std::string& text) {
  std::printf("  %s\n", text.c_str());
  std::fflush(stdout);
}

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}



// The processor share of a receiver that only wakes for and reads `senders` datagrams a second
// (one per sender, spread evenly over the second) for 10 s: what telemetry alone costs here.
double receiverFloor(int senders) {
  const int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (rx < 0 || ::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return -1;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the driver
    const int ep = ::epoll_create1(0);
    epoll_event e{};
    e.events = EPOLLIN;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, rx, &e);
    char buffer[2048];
    for (;;) {
      epoll_event ready[16];
      if (::epoll_wait(ep, ready, 16, 100) > 0) {
        while (::recv(rx, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
      }
    }
  }
  ::close(rx);
  std::vector<int> tx;
  for (int i = 0; i < senders; ++i) {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) tx.push_back(s);
  }
  const char payload[200] = {};
  const uint64_t cpu0 = amload::processCpuMs(child);
  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::seconds(10);
  uint64_t sent = 0;
  while (!amload::gStop && Clock::now() < end && !tx.empty()) {
    const double due = secondsSince(t0) * static_cast<double>(tx.size());
    while (sent < due) {
      ::sendto(tx[sent % tx.size()], payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&a),
               sizeof a);
      ++sent;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const double ms = secondsSince(t0) * 1000;
  const uint64_t cpu = amload::processCpuMs(child) - cpu0;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  for (int s : tx) ::close(s);
  return ms > 0 ? static_cast<double>(cpu) * 100 / ms : 0;
}

Figures measure(const std::string& am, const Options& o, int agents) {
  Figures f;
  const auto t0 = Clock::now();
  auto m = std::make_unique<amload::Manager>(am, agents, o.demo,
                                             static_cast<uint32_t>(o.telemetryMs));
  if (!m->waitReady(Ms(30000))) {
    f.failure = "am did not answer: " + m->outputTail(400);
    return f;
  }
  // Starting takes a while with many agents: about 5 ms each, and the machine is shared.
  f.running = m->waitForAgents(agents, Ms(30000 + agents * 60));
  f.startSeconds = secondsSince(t0);
  if (f.running < agents) {
    f.failure = adt::format("only %d of %d agents ran", f.running, agents);
    return f;
  }
  // Every agent has sent its start report and a first telemetry by now.
  std::this_thread::sleep_for(Ms(3000 + o.telemetryMs));
  f.rssStartKiB = m->rssKiB();
  f.rssStartFileKiB = m->rssFileKiB();
  note(adt::format("%d agents running after %.1f s; RSS %llu KiB, %llu KiB of it mapped files",
                   agents, f.startSeconds, static_cast<unsigned long long>(f.rssStartKiB),
                   static_cast<unsigned long long>(f.rssStartFileKiB)));

  const uint64_t cpu0 = m->cpuMs();
  const auto idle0 = Clock::now();
  std::this_thread::sleep_for(Ms(10000));
  const double idleMs = secondsSince(idle0) * 1000;
  f.idlePercent = idleMs > 0 ? static_cast<double>(m->cpuMs() - cpu0) * 100 / idleMs : 0;
  note(adt::format("idle processor: %.2f %% of one core", f.idlePercent));
  if (o.telemetryMs == 1000) {
    f.floorPercent = receiverFloor(agents);
    note(adt::format("a bare receiver of the same datagrams: %.2f %% of one core", f.floorPercent));
  }

  const amload::Rate r =
      amload::measureRate(m->clientPort(), 2, 200000, Ms(o.seconds * 1000), Ms(5000));
  f.listRate = r.perSecond;
  f.listFailed = r.counts.timedOut + r.counts.failed;
  note(adt::format("agents list: %.0f req/s (%s, %zu bytes)", r.perSecond, r.counts.text().c_str(),
                   r.replyBytes));

  const auto later = t0 + std::chrono::minutes(o.minutes);
  while (!amload::gStop && Clock::now() < later) std::this_thread::sleep_for(Ms(500));
  f.rssLaterKiB = m->rssKiB();
  const int stillRunning = m->agentProcesses();
  note(adt::format("after %d min: RSS %llu KiB, %d agents running", o.minutes,
                   static_cast<unsigned long long>(f.rssLaterKiB), stillRunning));

  const auto q0 = Clock::now();
  const bool ended = m->stop(Ms(120000));
  // am waits for its agents before it ends; an agent left behind is counted, then waited for.
  f.leftRunning = m->agentProcesses();
  for (const auto end = Clock::now() + Ms(10000); f.leftRunning > 0 && Clock::now() < end;) {
    std::this_thread::sleep_for(Ms(50));
    if (m->agentProcesses() == 0) break;
  }
  f.quitSeconds = secondsSince(q0);
  f.quitClean = ended && f.leftRunning == 0;
  note(adt::format("q: %.2f s until am ended (%s), %d agents left at its end", f.quitSeconds,
                   ended ? "by itself" : "killed", f.leftRunning));
  f.ok = true;
  return f;
}

std::string kib(uint64_t v) { return adt::format("%.1f MiB", static_cast<double>(v) / 1024); }

void report(int agents, const Options& o, const Figures* before, const Figures& after) {
  auto col = [](const Figures* f, const std::string& value) {
    return f && f->ok ? value : std::string(f ? "failed" : "-");
  };
  const double perAgentStart = static_cast<double>(after.rssStartKiB) / agents;
  const double perAgentLater = static_cast<double>(after.rssLaterKiB) / agents;
  std::printf("\n| N = %d | before | after | target | verdict |\n|---|---|---|---|---|\n", agents);
  auto row = [&](const std::string& figure, const std::string& b, const std::string& a,
                 const std::string& target, const std::string& verdict) {
    std::printf("| %s | %s | %s | %s | %s |\n", figure.c_str(), b.c_str(), a.c_str(),
                target.c_str(), verdict.c_str());
  };
  const double startLimitKiB = 8 * 1024 + 64.0 * agents;
  row("RSS after start", col(before, before ? kib(before->rssStartKiB) : ""),
      col(&after, kib(after.rssStartKiB)), kib(static_cast<uint64_t>(startLimitKiB)),
      after.rssStartKiB <= startLimitKiB ? "met" : "missed");
  row("of it, mapped files (code of am and its libraries)",
      col(before, before ? kib(before->rssStartFileKiB) : ""),
      col(&after, kib(after.rssStartFileKiB)), "-", "-");
  row("RSS after start per agent",
      col(before, before ? adt::format("%.0f KiB", before->rssStartKiB * 1.0 / agents) : ""),
      col(&after, adt::format("%.0f KiB", perAgentStart)), "-", "-");
  row(adt::format("RSS after %d min per agent", o.minutes),
      col(before, before ? adt::format("%.0f KiB", before->rssLaterKiB * 1.0 / agents) : ""),
      col(&after, adt::format("%.0f KiB", perAgentLater)), "<= 1024 KiB",
      perAgentLater <= 1024 ? "met" : "missed");
  row(adt::format("RSS after %d min", o.minutes),
      col(before, before ? kib(before->rssLaterKiB) : ""), col(&after, kib(after.rssLaterKiB)),
      "-", "-");
  row("idle processor, % of one core",
      col(before, before ? adt::format("%.2f", before->idlePercent) : ""),
      col(&after, adt::format("%.2f", after.idlePercent)), agents >= 1000 ? "<= 2" : "-",
      agents >= 1000 ? (after.idlePercent <= 2 ? "met" : "missed") : "-");
  row("bare receiver of the telemetry, % of one core (floor)",
      col(before, before ? adt::format("%.2f", before->floorPercent) : ""),
      col(&after, adt::format("%.2f", after.floorPercent)), "-", "-");
  row("agents list, req/s", col(before, before ? adt::format("%.0f", before->listRate) : ""),
      col(&after, adt::format("%.0f", after.listRate)), "-", "-");
  row("q until ended, s", col(before, before ? adt::format("%.2f", before->quitSeconds) : ""),
      col(&after, adt::format("%.2f%s", after.quitSeconds, after.quitClean ? "" : " (unclean)")),
      agents >= 1000 ? "< 10" : (agents >= 200 ? "< 2" : "-"),
      agents >= 200 ? (after.quitSeconds < (agents >= 1000 ? 10 : 2) ? "met" : "missed") : "-");
  std::fflush(stdout);
}

std::vector<int> numbers(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, ',')) out.push_back(std::atoi(piece.c_str()));
  return out;
}

bool parse(int argc, char** argv, Options& o) {
  const std::filesystem::path build = std::filesystem::path(argv[0]).parent_path().parent_path();
  o.am = (build / "am").string();
  o.demo = std::filesystem::absolute(build / "demo-agent").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--am") {
      o.am = v;
    } else if (a == "--before") {
      o.before = v;
    } else if (a == "--demo") {
      o.demo = std::filesystem::absolute(v).string();
    } else if (a == "--agents") {
      o.agents = numbers(v);
    } else if (a == "--minutes") {
      o.minutes = std::atoi(v.c_str());
    } else if (a == "--telemetry-ms") {
      o.telemetryMs = std::atoi(v.c_str());
    } else if (a == "--seconds") {
      o.seconds = std::atoi(v.c_str());
    } else {
      return false;
    }
  }
  return !o.agents.empty() && o.minutes >= 0 && o.telemetryMs >= 10 && o.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--am build/am] [--before <older am>] [--demo build/demo-agent]\n"
                 "          [--agents 20,200,1000] [--minutes 10] [--telemetry-ms 1000] "
                 "[--seconds 3]\n",
                 argv[0]);
    return 2;
  }
  int longest = 0;
  for (int n : o.agents) longest = std::max(longest, n);
  const unsigned runs = static_cast<unsigned>(o.agents.size()) * (o.before.empty() ? 1 : 2);
  amload::installSignalHandlers(runs * (static_cast<unsigned>(o.minutes) * 60 + 300 +
                                        static_cast<unsigned>(longest) / 5));
  const uint64_t fds = amload::raiseDescriptorLimit();
  std::printf("am_scale: am %s%s%s, demo agents %s, telemetry every %d ms, %d min, fds %llu\n",
              o.am.c_str(), o.before.empty() ? "" : ", before ", o.before.c_str(),
              o.demo.c_str(), o.telemetryMs, o.minutes, static_cast<unsigned long long>(fds));
  int failures = 0;
  for (int n : o.agents) {
    if (amload::gStop) break;
    std::unique_ptr<Figures> before;
    if (!o.before.empty()) {
      std::printf("\nN = %d, before (%s)\n", n, o.before.c_str());
      before = std::make_unique<Figures>(measure(o.before, o, n));
      if (!before->ok) note("failed: " + before->failure);
    }
    std::printf("\nN = %d (%s)\n", n, o.am.c_str());
    const Figures after = measure(o.am, o, n);
    if (!after.ok) {
      note("failed: " + after.failure);
      ++failures;
      continue;
    }
    report(n, o, before.get(), after);
  }
  return failures == 0 ? 0 : 1;
}
