// Load driver for the manager's client port, run by hand:
//
//   build/bench/am_load [--am build/am] [--seconds 3] [--timeout-ms 5000] [--samples 200]
//                       [--trickle-connections 1000] [--trickle-bytes 200]
//
// In one run it measures, on 127.0.0.1:
//   - the limit: a trivial server in this program (greeting, read the request, write 402 bytes,
//     close) driven by the same client loop as the manager;
//   - the manager's agents-list rate on fresh connections from 2 threads with 0, 20 and 200
//     configured agents;
//   - the agents list's p50/p99 latency (single requests one after the other, 20 agents) with
//     0, 1000 and 5000 idle connections open that never send;
//   - the manager's resident memory after 1000 connections each announced a 1 MiB element
//     before login and trickled part of it one byte per segment.
// Each scenario runs a fresh am from a temporary home and stops it at the end (killing it when
// it does not stop). Requests time out, failures are counted, and every loop is bounded, so a
// manager that locks clients out is reported, not waited for.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adt/tagged_format.h"
#include "adt/text.h"
#include "load_support.h"

namespace {

using amload::Ms;

struct Options {
  std::string am;
  int seconds = 3;
  int timeoutMs = 5000;
  int samples = 200;
  int trickleConnections = 1000;
  int trickleBytes = 200;
};

constexpr int kThreads = 2;
constexpr uint64_t kMaxRequests = 200000;  // per rate figure, besides the time
constexpr size_t kTrivialReply = 402;
constexpr int kLatencyAgents = 20;
constexpr uint32_t kTrickleElement = 1u << 20;  // the largest value accepted before login
constexpr uint8_t kTrickleTag = 64;             // the login command
constexpr int kTricklePauseMs = 10;             // between rounds of one byte each
constexpr unsigned kHardCapSeconds = 900;

struct Row {
  std::string figure, value, reference, ratio, target, verdict;
};
std::vector<Row> gRows;

std::string ms(double v, bool failed, int timeoutMs) {
  return failed ? adt::format("timed out (> %d ms)", timeoutMs) : adt::format("%.2f ms", v);
}

void note(const std::string& text) {
  std::printf("  %s\n", text.c_str());
  std::fflush(stdout);
}

// A rate figure against the limit; `target` is the share of the limit it should reach (0: none).
void rateRow(const std::string& figure, const amload::Rate& r, double limit, double target) {
  const double share = limit > 0 ? r.perSecond / limit : 0;
  Row row{figure,
          adt::format("%.0f req/s", r.perSecond),
          adt::format("limit %.0f req/s", limit),
          adt::format("%.1f %% of limit", share * 100),
          "-",
          "-"};
  if (target > 0) {
    row.target = adt::format(">= %.0f %% of limit", target * 100);
    row.ratio += adt::format(" = %.2f x target", share / target);
    row.verdict = share >= target ? "met" : "MISSED";
  }
  if (r.counts.ok != r.counts.total()) row.verdict += " (" + r.counts.text() + ")";
  gRows.push_back(row);
}

void latencyRow(const std::string& figure, const amload::Latency& l, const amload::Latency& ref,
                double targetMs, int timeoutMs) {
  Row row{figure,
          "p50 " + ms(l.p50, l.p50Failed, timeoutMs) + ", p99 " + ms(l.p99, l.p99Failed, timeoutMs),
          "limit p50 " + ms(ref.p50, ref.p50Failed, timeoutMs) + ", p99 " +
              ms(ref.p99, ref.p99Failed, timeoutMs),
          "-",
          "-",
          "-"};
  std::string ratio;
  if (!l.p99Failed && !ref.p99Failed && ref.p99 > 0) {
    ratio = adt::format("p99 %.1f x limit's", l.p99 / ref.p99);
  }
  if (targetMs > 0) {
    if (!ratio.empty()) ratio += ", ";
    ratio += l.p99Failed ? "p99 beyond the time-out"
                         : adt::format("p99 = %.2f x target", l.p99 / targetMs);
    row.target = adt::format("p99 < %.0f ms", targetMs);
    row.verdict = !l.p99Failed && l.p99 < targetMs ? "met" : "MISSED";
  }
  if (!ratio.empty()) row.ratio = ratio;
  row.verdict += " (" + l.counts.text() + ")";
  gRows.push_back(row);
}

void failedRow(const std::string& figure, const std::string& why) {
  gRows.push_back({figure, "not measured", "-", "-", "-", "FAILED: " + why});
}

// Starts am with `agents`; null (and a failed row) when it did not answer in time.
std::unique_ptr<amload::Manager> startManager(const Options& o, int agents,
                                              const std::string& figure) {
  auto m = std::make_unique<amload::Manager>(o.am, agents);
  if (!m->waitReady(Ms(30000))) {
    note("am did not answer within 30 s; its output ends with:\n" + m->outputTail(2000));
    failedRow(figure, "am did not start");
    return nullptr;
  }
  return m;
}

// Stopping takes longer with more agents configured, started or not.
void stopManager(std::unique_ptr<amload::Manager>& m, int agents) {
  const Ms cap(10000 + 200 * agents);
  const auto start = amload::Clock::now();
  const bool stopped = m->stop(cap);
  const double took = std::chrono::duration<double>(amload::Clock::now() - start).count();
  note(stopped ? adt::format("am stopped %.1f s after \"q\"", took)
               : adt::format("am did not stop within %.0f s after \"q\": killed",
                             static_cast<double>(cap.count()) / 1000));
  m.reset();
}

void rateScenario(const Options& o, int agents, double limit, double target) {
  const std::string figure = adt::format("AM req/s, %d agents", agents);
  std::printf("%s\n", figure.c_str());
  auto m = startManager(o, agents, figure);
  if (!m) return;
  amload::measureRate(m->clientPort(), kThreads, 500, Ms(1000), Ms(o.timeoutMs));  // warm-up
  const amload::Rate r = amload::measureRate(m->clientPort(), kThreads, kMaxRequests,
                                             Ms(o.seconds * 1000), Ms(o.timeoutMs));
  note(adt::format("%.0f req/s over %.2f s: %s; reply %zu bytes; am RSS %llu KiB", r.perSecond,
                   r.seconds, r.counts.text().c_str(), r.replyBytes,
                   static_cast<unsigned long long>(m->rssKiB())));
  rateRow(figure, r, limit, target);
  stopManager(m, agents);
}

void latencyScenario(const Options& o, size_t idle, const amload::Latency& ref, double targetMs) {
  const std::string figure =
      adt::format("AM agents list latency, %d agents, %zu idle connections", kLatencyAgents, idle);
  std::printf("%s\n", figure.c_str());
  auto m = startManager(o, kLatencyAgents, figure);
  if (!m) return;
  amload::Connections c;
  const auto openStart = amload::Clock::now();
  const size_t opened = c.open(m->clientPort(), idle, Ms(60000));
  note(adt::format("%zu of %zu idle connections open after %.1f s", opened, idle,
                   std::chrono::duration<double>(amload::Clock::now() - openStart).count()));
  const amload::Latency l =
      amload::measureLatency(m->clientPort(), o.samples, Ms(20000), Ms(o.timeoutMs));
  note(adt::format("%s; p50 %s, p99 %s; %zu idle closed by am; am RSS %llu KiB",
                   l.counts.text().c_str(), ms(l.p50, l.p50Failed, o.timeoutMs).c_str(),
                   ms(l.p99, l.p99Failed, o.timeoutMs).c_str(), c.closedByPeer(),
                   static_cast<unsigned long long>(m->rssKiB())));
  latencyRow(figure, l, ref, targetMs, o.timeoutMs);
  if (opened < idle) gRows.back().verdict += adt::format(" [only %zu idle open]", opened);
  c.closeAll();
  stopManager(m, kLatencyAgents);
}

void trickleScenario(const Options& o) {
  const std::string figure =
      adt::format("AM RSS after %d trickling connections", o.trickleConnections);
  std::printf("%s\n", figure.c_str());
  auto m = startManager(o, 0, figure);
  if (!m) return;
  const uint64_t before = m->rssKiB();
  amload::Connections c;
  const size_t opened =
      c.open(m->clientPort(), static_cast<size_t>(o.trickleConnections), Ms(60000));
  // Signature and version, then the long-form header of a 1 MiB login element.
  std::string start = amload::wire().request.substr(0, amload::wire().request.size() - 2);
  uint8_t header[adt::tagged::kLongHeaderSize] = {adt::tagged::kLongFormMarker, kTrickleTag};
  adt::tagged::putLe32(header + 2, kTrickleElement);
  start.append(reinterpret_cast<const char*>(header), sizeof header);
  c.sendAll(start);
  const uint64_t opening = m->rssKiB();
  const amload::Trickle t = amload::trickle(c, o.trickleBytes, Ms(kTricklePauseMs), Ms(60000));
  std::this_thread::sleep_for(Ms(1000));  // let am take in what is in flight
  const uint64_t after = m->rssKiB();
  const size_t closed = c.closedByPeer();
  note(
      adt::format("%zu connections opened; %llu bytes in %d rounds over %.1f s; %zu closed by "
                  "am; RSS before %llu KiB, after the headers %llu KiB, after the trickle %llu KiB",
                  opened, static_cast<unsigned long long>(t.bytesSent), t.rounds, t.seconds, closed,
                  static_cast<unsigned long long>(before), static_cast<unsigned long long>(opening),
                  static_cast<unsigned long long>(after)));
  const double costMiB = after > before ? static_cast<double>(after - before) / 1024.0 : 0;
  Row row{
      figure,
      adt::format("%.1f MiB more (%llu KiB RSS)", costMiB, static_cast<unsigned long long>(after)),
      adt::format("RSS before %llu KiB", static_cast<unsigned long long>(before)),
      adt::format("%.2f x target", costMiB / 100.0),
      "< 100 MiB more",
      costMiB < 100.0 ? "met" : "MISSED"};
  row.verdict += adt::format(" (%llu bytes sent, %zu of %zu still open)",
                             static_cast<unsigned long long>(t.bytesSent), opened - closed, opened);
  if (opened < static_cast<size_t>(o.trickleConnections)) row.verdict += " [not all opened]";
  gRows.push_back(row);
  c.closeAll();
  stopManager(m, 0);
}

void printTable() {
  const char* heads[] = {"figure", "value", "reference", "ratio", "target", "verdict"};
  size_t w[6];
  for (size_t i = 0; i < 6; ++i) w[i] = std::strlen(heads[i]);
  auto cells = [](const Row& r) {
    return std::vector<const std::string*>{&r.figure, &r.value,  &r.reference,
                                           &r.ratio,  &r.target, &r.verdict};
  };
  for (const Row& r : gRows) {
    auto c = cells(r);
    for (size_t i = 0; i < 6; ++i) w[i] = std::max(w[i], c[i]->size());
  }
  std::printf("\n");
  for (size_t i = 0; i < 6; ++i) std::printf("%-*s  ", static_cast<int>(w[i]), heads[i]);
  std::printf("\n");
  for (size_t i = 0; i < 6; ++i) std::printf("%s  ", std::string(w[i], '-').c_str());
  std::printf("\n");
  for (const Row& r : gRows) {
    auto c = cells(r);
    for (size_t i = 0; i < 6; ++i) std::printf("%-*s  ", static_cast<int>(w[i]), c[i]->c_str());
    std::printf("\n");
  }
  std::printf("\nOne line per figure:\n");
  for (const Row& r : gRows) {
    std::printf("%s: %s; reference %s; %s; target %s; %s\n", r.figure.c_str(), r.value.c_str(),
                r.reference.c_str(), r.ratio.c_str(), r.target.c_str(), r.verdict.c_str());
  }
}

bool parse(int argc, char** argv, Options& o) {
  o.am = (std::filesystem::path(argv[0]).parent_path().parent_path() / "am").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--am") {
      o.am = v;
    } else if (a == "--seconds") {
      o.seconds = std::clamp(std::atoi(v), 1, 60);
    } else if (a == "--timeout-ms") {
      o.timeoutMs = std::clamp(std::atoi(v), 100, 60000);
    } else if (a == "--samples") {
      o.samples = std::clamp(std::atoi(v), 1, 10000);
    } else if (a == "--trickle-connections") {
      o.trickleConnections = std::clamp(std::atoi(v), 1, 10000);
    } else if (a == "--trickle-bytes") {
      o.trickleBytes = std::clamp(std::atoi(v), 1, 10000);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--am PATH] [--seconds N] [--timeout-ms N] [--samples N] "
                 "[--trickle-connections N] [--trickle-bytes N]\n",
                 argv[0]);
    return 2;
  }
  amload::installSignalHandlers(kHardCapSeconds);
  const uint64_t fds = amload::raiseDescriptorLimit();
  std::printf("am_load: %s, %d threads, %d s per rate figure, %d ms time-out, descriptors %llu\n",
              o.am.c_str(), kThreads, o.seconds, o.timeoutMs, static_cast<unsigned long long>(fds));
  if (!std::filesystem::exists(o.am)) {
    std::fprintf(stderr, "am_load: no am at %s\n", o.am.c_str());
    return 2;
  }
  try {
    std::printf("limit: trivial server, %zu-byte reply\n", kTrivialReply);
    amload::Rate limit;
    amload::Latency limitLatency;
    {
      amload::TrivialServer server(kTrivialReply);
      amload::measureRate(server.port(), kThreads, 500, Ms(1000), Ms(o.timeoutMs));
      limit = amload::measureRate(server.port(), kThreads, kMaxRequests, Ms(o.seconds * 1000),
                                  Ms(o.timeoutMs));
      limitLatency = amload::measureLatency(server.port(), o.samples, Ms(20000), Ms(o.timeoutMs));
    }
    note(adt::format("%.0f req/s over %.2f s: %s; sequential p50 %.3f ms, p99 %.3f ms",
                     limit.perSecond, limit.seconds, limit.counts.text().c_str(), limitLatency.p50,
                     limitLatency.p99));
    gRows.push_back({"limit req/s (trivial server)", adt::format("%.0f req/s", limit.perSecond),
                     "-", "-", "-", limit.counts.text()});
    rateScenario(o, 0, limit.perSecond, 0);
    rateScenario(o, 20, limit.perSecond, 0.80);
    rateScenario(o, 200, limit.perSecond, 0.60);
    latencyScenario(o, 0, limitLatency, 0);
    latencyScenario(o, 1000, limitLatency, 10);
    latencyScenario(o, 5000, limitLatency, 50);
    trickleScenario(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "am_load: %s\n", e.what());
    printTable();
    return 1;
  }
  printTable();
  return amload::gStop ? 1 : 0;
}
