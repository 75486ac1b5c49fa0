#include "agent.h"

#include <algorithm>
#include <charconv>

#include "adt/tagged_writer.h"
#include "platform/agent_env.h"
#include "platform/self.h"

namespace demo {

namespace amp = agents::amp;

namespace {

// The operation codes of the demo's tasks; the stuck one is below 10000, so the manager's
// ten-minute hang rule applies to it as well as its long-operation limit.
constexpr int32_t kOpWaiting = 100;
constexpr int32_t kOpStuck = 5000;

adt::Bytes textAnswer(const adt::String& text) {
  adt::Bytes out;
  adt::TaggedBufferWriter w(out);
  w.writeString(1, text);
  w.flush();
  return out;
}

adt::String payloadText(const amp::Datagram& d) {
  const char* p = reinterpret_cast<const char*>(d.payload);
  const std::string_view raw(p, d.payloadSize);
  return adt::fromCp1251(raw.substr(0, raw.find('\0')));
}

}  // namespace

DemoAgent::DemoAgent(const Options& options, Output& output, uint16_t managerPort,
                     std::vector<int> inherited, platform::Clock& clock)
    : options_(options),
      out_(output),
      clock_(clock),
      inherited_(std::move(inherited)),
      link_(managerPort),
      http_(options.displayName(), options.versionText(), platform::currentProcessId()),
      clients_(options.displayName()),
      pid_(platform::currentProcessId()),
      thread_(platform::currentThreadId()),
      startMs_(clock.nowMs()) {
  if (options.clientPort) clients_.listen(options.clientPort);
  amp::Dictionary d;
  d.operations = {{kOpWaiting, "ожидание запросов"}, {kOpStuck, "зависшая задача (демонстрация)"}};
  d.requests = {{amp::kStatistics, "статистика"}};
  d.threads = {{static_cast<int32_t>(thread_), "main"}};
  dictionary_ = amp::encodeDictionary(d);
  if (options.crashAfterMs >= 0)
    crashAtMs_ = startMs_ + static_cast<uint64_t>(options.crashAfterMs);
  if (options.exitAfterMs >= 0) exitAtMs_ = startMs_ + static_cast<uint64_t>(options.exitAfterMs);
  if (!options.noReport) reportAtMs_ = startMs_ + options.slowStartMs;
}

int DemoAgent::run() {
  out_.line(adt::format("demo agent %s started: pid %u, name \"%s\", AMP port %u, manager port %u",
                        options_.versionText().c_str(), pid_, options_.displayName().c_str(),
                        link_.localPort(), link_.managerPort()));
  if (options_.clientPort) {
    out_.line(adt::format("desktop clients on 127.0.0.1:%u", options_.clientPort));
  }
  if (options_.outputBytes > 0) writeBulkOutput(options_.outputBytes);
  std::vector<platform::PollEntry> entries;
  while (!ended_) {
    onTimers(clock_.nowMs());
    if (ended_) break;
    entries.clear();
    platform::PollEntry wake;
    wake.handle = platform::terminationWakeHandle();
    wake.wantRead = true;
    entries.push_back(wake);
    platform::PollEntry link;
    link.handle = link_.handle();
    link.wantRead = true;
    entries.push_back(link);
    const size_t httpAt = entries.size();
    http_.addPollEntries(entries);
    const size_t clientsAt = entries.size();
    clients_.addPollEntries(entries);

    const platform::NetResult r =
        platform::socketPoll(entries.data(), entries.size(), pollTimeout(clock_.nowMs()));
    if (!r.ok()) {
      end(1, adt::format("poll failed: error %d", r.error));
      break;
    }
    const uint64_t now = clock_.nowMs();
    if (entries[0].readable) onSignal();
    http_.handle(&entries[httpAt], now);
    clients_.handle(&entries[clientsAt], now);
    if (entries[1].readable) {
      amp::Datagram d;
      while (!ended_ && link_.receive(d)) handleDatagram(d);
    }
  }
  out_.line(adt::format("demo agent ends, exit code %d", exitCode_));
  return exitCode_;
}

void DemoAgent::writeBulkOutput(uint64_t bytes) {
  // Blocking writes, as a program that prints a lot does: it waits while the pipe is full.
  std::string chunk;
  uint64_t written = 0, lineNo = 0;
  while (written < bytes) {
    chunk.clear();
    while (chunk.size() < 65536 && written + chunk.size() < bytes) {
      chunk += adt::format("bulk output line %010llu\n", static_cast<unsigned long long>(lineNo++));
    }
    if (written + chunk.size() > bytes) chunk.resize(static_cast<size_t>(bytes - written));
    if (platform::writeFile(platform::standardOutput(), chunk.data(), chunk.size()) < 0) break;
    written += chunk.size();
  }
  out_.line(adt::format("bulk output done: %llu bytes", static_cast<unsigned long long>(written)));
}

void DemoAgent::onTimers(uint64_t now) {
  if (now >= crashAtMs_) {
    end(kCrashExitCode, "crashing as told (--demo-crash-after)");
    return;
  }
  if (now >= exitAtMs_) {
    end(0, "ending by itself as told (--demo-exit-after)");
    return;
  }
  if (now >= reportAtMs_) sendStartReport(now);
  if (now >= telemetryAtMs_) sendTelemetry(now);
}

int DemoAgent::pollTimeout(uint64_t now) const {
  const uint64_t next = std::min({crashAtMs_, reportAtMs_, telemetryAtMs_});
  // Wake at least once a second: connection deadlines are checked after each poll.
  constexpr uint64_t kMaxWaitMs = 1000;
  return static_cast<int>(next <= now ? 0 : std::min(next - now, kMaxWaitMs));
}

void DemoAgent::onSignal() {
  if (platform::takeTerminationSignals() == 0) return;
  if (options_.ignoreStop) {
    out_.line("termination signal ignored (--demo-ignore-stop)");
    return;
  }
  end(options_.exitCode, "termination signal");
}

void DemoAgent::handleDatagram(const amp::Datagram& d) {
  const uint32_t code = d.header.code;
  if (!heardFromManager_) {
    heardFromManager_ = true;
    if (reportsSent_ > 0) reportAtMs_ = kNever;  // the manager knows our port now
  }
  switch (code) {
    case amp::kStartAck: {
      amp::StartAck ack;
      try {
        if (!amp::decodeStartAck(d.payload, d.payloadSize, ack)) ack = {};
      } catch (const std::exception& e) {
        out_.line(adt::String("malformed start acknowledgment: ") + e.what());
      }
      out_.line(ack.managerPid ? adt::format("start acknowledged, manager pid %u", *ack.managerPid)
                               : adt::String("start acknowledged"));
      break;
    }
    case amp::kPing:
      if (options_.noPing) {
        out_.line("ping not answered (--demo-no-ping)");
      } else {
        answer(amp::kPingAnswer, 0);
      }
      break;
    case amp::kTerminateAgent:
    case amp::kSoftTerminate:
      onStop(code);
      break;
    case amp::kHttpSocket:
    case amp::kHttpsSocket:
      takeOverSocket(d);
      break;
    case amp::kAgentInfo:
      answer(code, d.header.arg,
             textAnswer(adt::format("%s: demo agent %s, pid %u, info %u",
                                    options_.displayName().c_str(), options_.versionText().c_str(),
                                    pid_, d.header.arg)));
      break;
    case amp::kJavaInfo:
      answer(code, d.header.arg, textAnswer("demo agent: no Java runtime"));
      break;
    case amp::kStatistics:
      answer(code, d.header.arg, textAnswer("demo agent: no statistics"));
      break;
    case amp::kKillClient:
      killClient(d);
      break;
    case amp::kKillAllClients:
      out_.line(adt::format("dropped all %zu desktop clients", clients_.dropAll()));
      answer(code, d.header.arg);
      break;
    case amp::kUpdateNotice:
      out_.line("update notice: " + payloadText(d));
      break;
    case amp::kSigstopAnswer:
      break;  // meant for the manager's own stop tool
    default:
      if (amp::isReservedAgentCode(code)) {
        out_.line(adt::format("unexpected code %u from the manager ignored", code));
      } else {
        // A request passed through for a client: echo it.
        answer(code, d.header.arg, adt::Bytes(d.payload, d.payload + d.payloadSize));
      }
  }
}

void DemoAgent::onStop(uint32_t code) {
  const char* kind = code == amp::kSoftTerminate ? "soft stop" : "stop";
  if (options_.ignoreStop) {
    out_.line(adt::format("%s request (code %u) ignored (--demo-ignore-stop)", kind, code));
    return;
  }
  end(options_.exitCode, adt::format("%s request (code %u)", kind, code));
}

void DemoAgent::takeOverSocket(const amp::Datagram& d) {
  const uint32_t code = d.header.code;
  const char* what = code == amp::kHttpSocket ? "HTTP" : "HTTPS";
  const uint8_t* record = nullptr;
  if (!amp::decodeSocketHandover(d.payload, d.payloadSize, record)) {
    out_.line(adt::format("%s socket hand-over refused: malformed record", what));
    return;
  }
  std::string why;
  const platform::SocketHandle fd = platform::socketFromRecord(record, inherited_, why);
  if (fd == platform::kNoSocket) {
    out_.line(adt::format("%s socket hand-over refused: %s", what, why.c_str()));
    return;
  }
  if (http_.hasListener(fd)) {  // told again (a repeated start report): confirm again
    answer(code, 0);
    return;
  }
  http_.addListener(fd);
  out_.line(adt::format("took over the %s listening socket (descriptor %d)", what, fd));
  answer(code, 0);
}

void DemoAgent::killClient(const amp::Datagram& d) {
  // The identifier is the client number of the greeting, as decimal text.
  const adt::String text = payloadText(d);
  uint32_t id = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), id);
  const bool parsed = !text.empty() && r.ec == std::errc() && r.ptr == text.data() + text.size();
  const bool dropped = parsed && clients_.drop(id);
  out_.line(dropped ? adt::format("desktop client %u dropped", id)
                    : adt::format("kill request for unknown client \"%s\"", text.c_str()));
  answer(d.header.code, d.header.arg);
}

void DemoAgent::sendStartReport(uint64_t now) {
  amp::StartReport r;
  r.pid = pid_;
  r.hasStartWord = true;
  r.startWord = 1;
  r.hasVersion = true;
  std::copy(std::begin(options_.version), std::end(options_.version), r.version.begin());
  r.hasText1 = true;
  r.text1 = options_.displayName();
  if (!options_.logFile.empty()) {
    r.hasText2 = true;
    r.text2 = options_.logFile;
  }
  send(amp::kStartReport, 0, amp::encodeStartReport(r), 0);
  ++reportsSent_;
  if (reportsSent_ == 1) {
    out_.line(adt::format("start report sent (pid %u, version %s)", pid_,
                          options_.versionText().c_str()));
    telemetryAtMs_ = now;  // the first telemetry follows at once
  }
  reportAtMs_ = heardFromManager_ || reportsSent_ >= kMaxReports ? kNever : now + kReportRepeatMs;
}

void DemoAgent::sendTelemetry(uint64_t now) {
  if (options_.silentAfterMs >= 0 &&
      now - startMs_ >= static_cast<uint64_t>(options_.silentAfterMs)) {
    if (telemetryAtMs_ != kNever) out_.line("telemetry stops (--demo-silent-after)");
    telemetryAtMs_ = kNever;
    return;
  }
  ++telemetrySent_;
  amp::Telemetry t;
  amp::Task waiting;
  waiting.id = 1;
  waiting.type = 1;
  waiting.op = kOpWaiting;
  waiting.pulse = telemetrySent_;
  waiting.thread = thread_;
  waiting.contextMessage = "ожидание запросов";
  t.tasks.push_back(waiting);
  if (options_.stuckTask) {
    amp::Task stuck;
    stuck.id = 2;
    stuck.type = 2;
    stuck.op = kOpStuck;
    stuck.pulse = 1;  // never moves
    stuck.thread = thread_;
    stuck.rq = static_cast<int32_t>(amp::kStatistics);
    stuck.rqTime = static_cast<uint32_t>(now - startMs_);
    stuck.blocked = true;
    stuck.contextMessage = "зависшая задача (демонстрация)";
    stuck.stack = "demo::stuckTask()\ndemo::main()";
    t.tasks.push_back(stuck);
  }
  t.hasDictionary = true;
  t.dictionary = dictionary_;

  amp::Sample s;
  amp::PerformanceSample& v = s.values;
  v.setWord(2, requestsAnswered_);                                     // requests served
  v.setWideDays(3, static_cast<double>(now - startMs_) / 86400000.0);  // uptime
  v.setWide(5, telemetrySent_);
  v.setNestedValue(1, 64u << 20);   // memory in use
  v.setNestedValue(2, 1);           // threads
  v.setNestedValue(4, 32u << 20);   // memory free
  v.setNestedValue(5, 512u << 20);  // memory limit
  // No garbage collector here; --demo-gc-percent pretends that share of the time went to one.
  v.gcDays = static_cast<double>(now - startMs_) * options_.gcPercent / 100 / 86400000.0;
  s.count = telemetrySent_;  // measurements behind the sample so far
  t.samples.push_back(std::move(s));

  send(amp::kTelemetry, 0, amp::encodeTelemetry(t),
       static_cast<uint32_t>(clients_.connectionCount()) + options_.clients);
  telemetryAtMs_ = now + options_.telemetryMs;
}

void DemoAgent::answer(uint32_t code, uint32_t arg, const adt::Bytes& payload) {
  send(code, arg, payload, 0);
  ++requestsAnswered_;
}

void DemoAgent::send(uint32_t code, uint32_t arg, const adt::Bytes& payload, uint32_t value1) {
  const int error = link_.send(code, arg, payload, value1);
  if (error) out_.line(adt::format("sending code %u to the manager failed: error %d", code, error));
}

void DemoAgent::end(int exitCode, const adt::String& why) {
  out_.line("ending: " + why);
  ended_ = true;
  exitCode_ = exitCode;
}

}  // namespace demo
