// The real demo-agent program against a UDP socket that plays the manager's agent port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "adt/socket.h"
#include "adt/tagged_reader.h"
#include "agents/amp.h"
#include "child_process.h"
#include "platform/agent_env.h"
#include "platform/pipe.h"

namespace {

namespace amp = agents::amp;
using testing_support::ChildProcess;

constexpr uint32_t kLoopback = 0x7F000001;
// Generous: the CI machine is small and runs tests in parallel.
constexpr int kWaitMs = 20000;

struct Received {
  amp::Header header;
  adt::Bytes payload;
  uint16_t fromPort = 0;
};

// The manager's end: a UDP socket on 127.0.0.1 at a port the system picks.
class FakeManager {
 public:
  FakeManager() {
    socket_.create(adt::Socket::DATAGRAM);
    socket_.bind(platform::hostToNet32(kLoopback), 0);
    port_ = socket_.localPort();
  }

  uint16_t port() const { return port_; }
  std::string envEntry() const { return "AM_AGENT_PORT=" + std::to_string(port_); }

  // The next datagram with `code` within timeoutMs (others are passed over); nothing on time-out.
  std::optional<Received> receive(uint32_t code, int timeoutMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !socket_.waitReadable(static_cast<uint32_t>(left.count()))) {
        return std::nullopt;
      }
      std::optional<Received> r = takeOne();
      if (r && r->header.code == code) return r;
    }
  }

  // The next start report of the process `pid` (reports of others are passed over).
  std::optional<Received> receiveReport(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
      std::optional<Received> r = receive(amp::kStartReport);
      amp::StartReport report;
      if (r && amp::decodeStartReport(r->payload.data(), r->payload.size(), report) &&
          report.pid == static_cast<uint32_t>(pid)) {
        return r;
      }
    }
    return std::nullopt;
  }

  // Every datagram already waiting.
  std::vector<Received> drain() {
    std::vector<Received> all;
    while (socket_.waitReadable(0)) {
      if (auto r = takeOne()) all.push_back(*r);
    }
    return all;
  }

  void send(uint16_t agentPort, uint32_t code, uint32_t arg = 0, const adt::Bytes& payload = {}) {
    const adt::Bytes d = amp::encodeRequest(code, arg, payload);
    socket_.sendTo(d.data(), d.size(),
                   adt::SocketAddress{platform::hostToNet32(kLoopback), agentPort});
  }

 private:
  std::optional<Received> takeOne() {
    adt::SocketAddress from;
    const int n = socket_.recvFrom(buffer_, sizeof buffer_, &from);
    amp::Datagram d;
    if (n <= 0 ||
        amp::decodeDatagram(buffer_, static_cast<size_t>(n), d) != amp::DecodeStatus::kOk) {
      ADD_FAILURE() << "undecodable datagram of " << n << " bytes";
      return std::nullopt;
    }
    return Received{d.header, adt::Bytes(d.payload, d.payload + d.payloadSize), from.port};
  }

  adt::Socket socket_;
  uint16_t port_ = 0;
  uint8_t buffer_[amp::kMaxDatagram];
};

std::string agentPath() { return std::string(AM_BUILD_DIR) + "/demo-agent"; }

ChildProcess::Setup agentSetup(const FakeManager& m, std::vector<std::string> args) {
  ChildProcess::Setup setup;
  setup.argv = {agentPath()};
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  setup.env = {m.envEntry()};
  return setup;
}

amp::StartReport decodeReport(const Received& r) {
  amp::StartReport report;
  EXPECT_TRUE(amp::decodeStartReport(r.payload.data(), r.payload.size(), report));
  return report;
}

// The single text element of a request answer.
std::string answerText(const Received& r) {
  adt::TaggedBufferReader in(r.payload);
  return in.readString();
}

TEST(DemoAgent, ReportsAnswersPingsAndRequestsAndStopsOnCode3) {
  FakeManager m;
  ChildProcess agent(
      agentSetup(m, {"--am-key", "123", "--agentid", "shop", "--name", "Shop", "--home.path",
                     "/opt/am", "--am-proc", "1", "--custom", "--log", "/var/log/shop.log",
                     "--demo-version", "5.1.64", "--demo-exit-code", "7"}));
  const auto report = m.receiveReport(agent.pid());
  ASSERT_TRUE(report) << agent.output();
  const amp::StartReport r = decodeReport(*report);
  EXPECT_EQ(r.pid, static_cast<uint32_t>(agent.pid()));
  EXPECT_EQ(r.versionNumber(), adt::makeVersion(5, 1, 64));
  EXPECT_EQ(r.text1, "Shop");
  EXPECT_EQ(r.text2, "/var/log/shop.log");
  const uint16_t agentPort = report->fromPort;

  m.send(agentPort, amp::kStartAck, 0, amp::encodeStartAck(4242u));
  m.send(agentPort, amp::kPing);
  ASSERT_TRUE(m.receive(amp::kPingAnswer)) << agent.output();

  m.send(agentPort, amp::kAgentInfo, 42);
  const auto info = m.receive(amp::kAgentInfo);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->header.arg, 42u);
  EXPECT_NE(answerText(*info).find("Shop: demo agent 5.1.64"), std::string::npos);
  // A request code the agent does not know is passed through: echoed.
  m.send(agentPort, 100, 5, adt::Bytes{'a', 'b', 'c'});
  const auto echo = m.receive(100);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->payload, (adt::Bytes{'a', 'b', 'c'}));

  m.send(agentPort, amp::kTerminateAgent);
  EXPECT_EQ(agent.waitExit(kWaitMs), 7);
  EXPECT_NE(agent.output().find("start acknowledged, manager pid 4242"), std::string::npos);
  EXPECT_NE(agent.output().find("ignored: --custom"), std::string::npos);
}

TEST(DemoAgent, TelemetryCarriesTasksSampleDictionaryAndClientCount) {
  FakeManager m;
  // A port for the desktop clients: free a moment ago; the agent fails at once if it is taken.
  adt::Socket probe;
  probe.create(adt::Socket::STREAM);
  probe.bind(platform::hostToNet32(kLoopback), 0);
  const uint16_t clientPort = probe.localPort();
  probe.close();
  ChildProcess agent(agentSetup(m, {"--name", "Shop", "--cl_port", std::to_string(clientPort),
                                    "--demo-telemetry-ms", "100", "--demo-stuck-task"}));
  ASSERT_TRUE(agent.waitOutput("desktop clients on", kWaitMs)) << agent.output();

  auto next = [&] {
    const auto t = m.receive(amp::kTelemetry);
    EXPECT_TRUE(t) << agent.output();
    return t ? *t : Received{};
  };
  const Received first = next();
  const amp::Telemetry a = amp::decodeTelemetry(first.payload.data(), first.payload.size());
  const amp::Telemetry b = [&] {
    const Received second = next();
    return amp::decodeTelemetry(second.payload.data(), second.payload.size());
  }();
  ASSERT_EQ(a.tasks.size(), 2u);
  ASSERT_EQ(b.tasks.size(), 2u);
  EXPECT_LT(a.tasks[0].pulse, b.tasks[0].pulse);  // the working task moves
  EXPECT_EQ(a.tasks[1].op, 5000);                 // the stuck one does not
  EXPECT_EQ(a.tasks[1].pulse, b.tasks[1].pulse);
  EXPECT_TRUE(a.tasks[1].blocked);
  ASSERT_EQ(a.samples.size(), 1u);
  EXPECT_EQ(a.samples[0].values.nestedValue(5), 512u << 20);
  adt::String text;
  amp::describeDictionary(a.dictionary.data(), a.dictionary.size(), text);
  EXPECT_NE(text.find("5000=зависшая задача (демонстрация)\n"), std::string::npos) << text;
  EXPECT_EQ(first.header.value1, 0u);

  // A desktop client is greeted and counted until it is dropped by a kill request.
  adt::Socket client;
  client.create(adt::Socket::STREAM);
  client.connect(platform::hostToNet32(kLoopback), clientPort);
  client.setTimeout(kWaitMs);
  char greeting[64] = {};
  ASSERT_GT(client.recv(greeting, sizeof greeting - 1), 0);
  EXPECT_STREQ(greeting, "Shop ready, client 1\r\n");
  std::optional<Received> counted;
  for (int i = 0; i < 200 && !(counted && counted->header.value1 == 1); ++i) {
    counted = m.receive(amp::kTelemetry);
  }
  ASSERT_TRUE(counted && counted->header.value1 == 1u);
  const uint16_t agentPort = counted->fromPort;
  m.send(agentPort, amp::kKillClient, 0, adt::Bytes{'1'});
  ASSERT_TRUE(m.receive(amp::kKillClient));
  // Closed by the agent before it answered: the end of the stream is waiting.
  ASSERT_TRUE(client.waitReadable(kWaitMs));
  const platform::NetResult end = platform::socketRecv(client.handle(), greeting, sizeof greeting);
  EXPECT_TRUE(end.ok() && end.value == 0) << end.error << " " << end.value;
  std::optional<Received> after;
  for (int i = 0; i < 200 && !(after && after->header.value1 == 0); ++i) {
    after = m.receive(amp::kTelemetry);
  }
  EXPECT_TRUE(after && after->header.value1 == 0u);
}

TEST(DemoAgent, NoReportMeansNoDatagramAtAll) {
  FakeManager m;
  ChildProcess agent(agentSetup(m, {"--demo-no-report", "--demo-telemetry-ms", "20"}));
  ASSERT_TRUE(agent.waitOutput("started", kWaitMs)) << agent.output();
  // Telemetry every 20 ms would be here many times over if the agent reported.
  EXPECT_FALSE(m.receive(amp::kStartReport, 1500));
  EXPECT_TRUE(m.drain().empty());
  EXPECT_FALSE(agent.waitExit(0));
}

TEST(DemoAgent, CrashAfterEndsWithCode3AndSlowStartDelaysTheReport) {
  FakeManager m;
  const auto started = std::chrono::steady_clock::now();
  ChildProcess slow(agentSetup(m, {"--demo-slow-start", "300"}));
  ASSERT_TRUE(m.receiveReport(slow.pid()));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));

  FakeManager m2;
  ChildProcess crashing(agentSetup(m2, {"--demo-crash-after", "200", "--demo-exit-code", "9"}));
  EXPECT_EQ(crashing.waitExit(kWaitMs), 3);
  EXPECT_NE(crashing.output().find("crashing as told"), std::string::npos);
}

TEST(DemoAgent, StopRequestsAndSigterm) {
  FakeManager m;
  {
    ChildProcess stubborn(agentSetup(m, {"--demo-ignore-stop", "--demo-no-ping"}));
    const auto report = m.receiveReport(stubborn.pid());
    ASSERT_TRUE(report);
    m.send(report->fromPort, amp::kTerminateAgent);
    m.send(report->fromPort, amp::kSoftTerminate);
    m.send(report->fromPort, amp::kPing);
    ASSERT_TRUE(stubborn.waitOutput("ping not answered", kWaitMs)) << stubborn.output();
    stubborn.signal(SIGTERM);
    ASSERT_TRUE(stubborn.waitOutput("termination signal ignored", kWaitMs)) << stubborn.output();
    EXPECT_NE(stubborn.output().find("stop request (code 3) ignored"), std::string::npos);
    EXPECT_NE(stubborn.output().find("soft stop request (code 19) ignored"), std::string::npos);
    // The ping was handled before its line was written: no answer went out.
    for (const Received& r : m.drain()) EXPECT_NE(r.header.code, amp::kPingAnswer);
    EXPECT_FALSE(stubborn.waitExit(0));
    stubborn.signal(SIGKILL);
    EXPECT_EQ(stubborn.waitExit(kWaitMs), 128 + SIGKILL);
  }
  {
    FakeManager m2;
    ChildProcess soft(agentSetup(m2, {"--demo-exit-code", "4"}));
    const auto report = m2.receiveReport(soft.pid());
    ASSERT_TRUE(report);
    m2.send(report->fromPort, amp::kSoftTerminate);
    EXPECT_EQ(soft.waitExit(kWaitMs), 4);
  }
  {
    ChildProcess term(agentSetup(m, {}));
    ASSERT_TRUE(term.waitOutput("started", kWaitMs));
    term.signal(SIGTERM);
    EXPECT_EQ(term.waitExit(kWaitMs), 0);
    EXPECT_NE(term.output().find("ending: termination signal"), std::string::npos);
  }
}

// A listening TCP socket on 127.0.0.1, moved to a high descriptor number.
int listeningSocket(uint16_t* port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return -1;
  }
  *port = ntohs(a.sin_port);
  const int high = ::fcntl(s, F_DUPFD_CLOEXEC, 200);
  ::close(s);
  return high;
}

TEST(DemoAgent, PrintsInheritedDescriptorsAndServesTheHandedOverSocket) {
  FakeManager m;
  {
    FakeManager other;
    ChildProcess clean(agentSetup(other, {"--demo-print-fds"}));
    ASSERT_TRUE(clean.waitOutput("started", kWaitMs)) << clean.output();
    EXPECT_NE(clean.output().find(" fds: 0 1 2\n"), std::string::npos) << clean.output();
  }
  uint16_t httpPort = 0;
  const int listener = listeningSocket(&httpPort);
  ASSERT_GE(listener, 0);
  ChildProcess::Setup setup = agentSetup(m, {"--demo-print-fds", "--name", "Shop <A&B>"});
  setup.inherit = {{listener, 3}};
  ChildProcess agent(setup);
  ::close(listener);  // the agent holds the only copy now
  const auto report = m.receiveReport(agent.pid());
  ASSERT_TRUE(report) << agent.output();
  EXPECT_NE(agent.output().find(" fds: 0 1 2 3\n"), std::string::npos) << agent.output();

  // The manager's record of a socket inherited as descriptor `fd`: the number, little-endian,
  // then zeros.
  auto handover = [](int fd) {
    uint8_t record[platform::kSocketRecordSize];
    EXPECT_EQ(platform::socketRecordFor(platform::kNoSocket, 0, fd, record), 0);
    return amp::encodeSocketHandover(record);
  };
  uint8_t unused[platform::kSocketRecordSize];
  EXPECT_EQ(platform::socketRecordFor(platform::kNoSocket, 0, -1, unused),
            platform::kNetInvalidArgument);
  const adt::Bytes three = handover(3);
  EXPECT_EQ(adt::Bytes(three.begin() + 4, three.begin() + 8), (adt::Bytes{3, 0, 0, 0}));
  EXPECT_TRUE(std::all_of(three.begin() + 8, three.end(), [](uint8_t b) { return b == 0; }));

  // Descriptors that are not an inherited listening socket are refused without an answer.
  m.send(report->fromPort, amp::kHttpsSocket, 0, handover(1));
  m.send(report->fromPort, amp::kHttpsSocket, 0, handover(77));
  m.send(report->fromPort, amp::kHttpSocket, 0, three);
  const auto taken = m.receive(amp::kHttpSocketTaken);
  ASSERT_TRUE(taken) << agent.output();
  EXPECT_EQ(agent.output().find("took over the HTTPS"), std::string::npos);
  EXPECT_NE(agent.output().find("descriptor 77 is no inherited"), std::string::npos);
  for (const Received& r : m.drain()) EXPECT_NE(r.header.code, amp::kHttpsSocketTaken);

  adt::Socket browser;
  browser.create(adt::Socket::STREAM);
  browser.connect(platform::hostToNet32(kLoopback), httpPort);
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  browser.sendAll(request.data(), request.size());
  browser.setTimeout(kWaitMs);
  std::string page;
  char buf[1024];
  for (int n; (n = browser.recv(buf, sizeof buf)) > 0;) page.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
  EXPECT_NE(page.find("<h1>Shop &lt;A&amp;B&gt; is running</h1>"), std::string::npos) << page;
}

TEST(DemoAgent, WritesItsOutputToTheNamedFifo) {
  const std::string root = platform::defaultPipeRoot();
  ::mkdir(root.c_str(), 0777);
  static int counter = 0;
  const std::string name =
      "demo-agent-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  const std::string path = root + "/" + name;
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
  struct Remove {
    std::string path;
    int fd = -1;
    ~Remove() {
      if (fd >= 0) ::close(fd);
      ::unlink(path.c_str());
    }
  } cleanup{path};
  cleanup.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(cleanup.fd, 0);

  FakeManager m;
  ChildProcess agent(agentSetup(m, {"--am-pipe", name, "--name", "Склад"}));
  const auto report = m.receiveReport(agent.pid());
  ASSERT_TRUE(report) << agent.output();
  m.send(report->fromPort, amp::kTerminateAgent);
  ASSERT_EQ(agent.waitExit(kWaitMs), 0);

  std::string fifo;
  char buf[4096];
  for (ssize_t n; (n = ::read(cleanup.fd, buf, sizeof buf)) > 0;) {
    fifo.append(buf, static_cast<size_t>(n));
  }
  // Windows-1251 on the pipe, as the manager reads agent output.
  EXPECT_NE(fifo.find(adt::toCp1251("name \"Склад\"")), std::string::npos) << fifo;
  EXPECT_NE(fifo.find("ending: stop request (code 3)"), std::string::npos) << fifo;
  EXPECT_EQ(agent.output(), "");

  // Without a reader the agent says so on its standard output and goes on.
  FakeManager m2;
  ChildProcess lost(agentSetup(m2, {"--am-pipe", name + "-missing"}));
  ASSERT_TRUE(lost.waitOutput("started", kWaitMs));
  EXPECT_NE(lost.output().find("cannot open the output pipe"), std::string::npos);
}

TEST(DemoAgent, HelpAndMalformedOptions) {
  FakeManager m;
  ChildProcess help(agentSetup(m, {"--help"}));
  EXPECT_EQ(help.waitExit(kWaitMs), 0);
  EXPECT_NE(help.output().find("--demo-ignore-stop"), std::string::npos);

  for (const std::vector<std::string>& args : {std::vector<std::string>{"--cl_port", "70000"},
                                               {"--demo-version", "5.x"},
                                               {"--demo-no-ping=1"},
                                               {"--name"}}) {
    ChildProcess bad(agentSetup(m, args));
    EXPECT_EQ(bad.waitExit(kWaitMs), 2) << args[0];
    EXPECT_NE(bad.output().find("demo-agent: option " + args[0].substr(0, args[0].find('='))),
              std::string::npos)
        << bad.output();
  }
  EXPECT_TRUE(m.drain().empty());
}

}  // namespace
