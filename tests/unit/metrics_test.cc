// The operator's metrics: the exposition text (escaping, one HELP and TYPE per family), read
// back by the real parser of prometheus_client, and GET /metrics over real loopback
// connections behind the manager's address filter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <string>

#include "adt/dispatcher.h"
#include "adt/socket.h"
#include "child.h"
#include "loopback_listener.h"
#include "platform/net.h"
#include "web/http_am_client.h"
#include "web/metrics_text.h"
#include "web/web_host.h"

namespace web {
namespace {

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

TEST(MetricsText, LabelValuesAreEscapedAsTheFormatRequires) {
  EXPECT_EQ(escapeLabelValue("plain"), "plain");
  EXPECT_EQ(escapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  // UTF-8 and other bytes stay as they are.
  EXPECT_EQ(escapeLabelValue("Склад {x=1}"), "Склад {x=1}");
  // Help texts keep their quotes.
  EXPECT_EQ(escapeHelp("say \"hi\"\\\n"), "say \"hi\"\\\\\\n");
}

TEST(MetricsText, EachFamilyHasOneHelpAndTypeBeforeItsSamples) {
  MetricsText m;
  m.family("am_x_total", "counter", "Things.");
  m.sample({{"agent", "A\"1"}, {"worker", "0"}}, uint64_t{3});
  m.sample({{"agent", "B"}, {"worker", "2"}}, uint64_t{0});
  m.family("am_y", "gauge", "Level.");
  m.sample(1.5);
  m.family("am_empty", "gauge", "Nothing yet.");
  EXPECT_EQ(m.text(),
            "# HELP am_x_total Things.\n"
            "# TYPE am_x_total counter\n"
            "am_x_total{agent=\"A\\\"1\",worker=\"0\"} 3\n"
            "am_x_total{agent=\"B\",worker=\"2\"} 0\n"
            "# HELP am_y Level.\n"
            "# TYPE am_y gauge\n"
            "am_y 1.5\n"
            "# HELP am_empty Nothing yet.\n"
            "# TYPE am_empty gauge\n");
  EXPECT_EQ(occurrences(m.text(), "# TYPE am_x_total "), 1u);
}

// The text as prometheus_client's own parser reads it: its "family" and "sample" lines.
std::string parsed(const std::string& text) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("metrics.txt"), text);
  const testsupport::RunResult r =
      testsupport::run({"/usr/bin/python3", AM_SOURCE_DIR "/tests/servers/parse_metrics.py",
                        dir.file("metrics.txt")});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return r.output;
}

TEST(MetricsText, TheRealParserReadsBackEveryLabelValue) {
  MetricsText m;
  m.family("am_agent_starts_total", "counter", "Agent processes \"started\".\nSecond line.");
  m.sample({{"agent", "back\\slash \"quoted\"\nnext"}, {"worker", "0"}}, uint64_t{7});
  m.sample({{"agent", "Склад"}, {"worker", "2"}}, uint64_t{1} << 40);
  m.family("am_uptime_seconds", "gauge", "Seconds.");
  m.sample(0.25);
  m.sample({{"x", ""}}, 123456789.125);
  const std::string out = parsed(m.text());
  EXPECT_NE(out.find("family am_agent_starts counter\n"), std::string::npos) << out;
  // The parser's script escapes backslash as \\, line feed as \n and space as \s.
  EXPECT_NE(out.find("sample am_agent_starts_total "
                     "agent=back\\\\slash\\s\"quoted\"\\nnext,worker=0 7.0\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("sample am_agent_starts_total agent=Склад,worker=2 1099511627776.0\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("family am_uptime_seconds gauge\nsample am_uptime_seconds - 0.25\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("sample am_uptime_seconds x= 123456789.125\n"), std::string::npos) << out;
}

TEST(MetricsText, AnUnescapedQuoteWouldNotParse) {
  // The check above is worth something only if the parser refuses a broken text.
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("bad.txt"), "# TYPE a gauge\na{x=\"q\"q\"} 1\n");
  const testsupport::RunResult r =
      testsupport::run({"/usr/bin/python3", AM_SOURCE_DIR "/tests/servers/parse_metrics.py",
                        dir.file("bad.txt")});
  EXPECT_EQ(r.exitCode, 2) << r.output;
}

class FakeClock final : public platform::Clock {
 public:
  uint64_t nowMs() override { return 1000000; }
  platform::LocalTime localNow() override { return {}; }
};

class MetricsHost final : public WebHost {
 public:
  platform::Clock& clock() override { return fakeClock; }
  const config::CommonSettings& settings() const override { return common; }
  adt::String homeDirectory() const override { return "/nonexistent"; }
  uint32_t programVersion() const override { return adt::makeVersion(5, 2, 430); }
  std::vector<AgentSummary> agents() const override { return {}; }
  bool writeMetrics(uint32_t address, MetricsText& out) override {
    ++calls;
    lastAddress = address;
    out.family("am_test", "gauge", "Test.");
    out.sample(uint64_t{42});
    return true;
  }

  FakeClock fakeClock;
  config::CommonSettings common;
  int calls = 0;
  uint32_t lastAddress = 0;
};

class MetricsServing : public ::testing::Test {
 protected:
  MetricsServing() {
    auto* listener = new testsupport::LoopbackListener<HttpAMClient, WebHost>(host);
    port = listener->port;
    dispatcher.add(listener);
  }
  std::string get(const std::string& path) {
    adt::Socket socket;
    socket.create(adt::Socket::STREAM);
    socket.connect(platform::hostToNet32(0x7F000001), port);
    socket.setNonBlocking(true);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    socket.sendAll(request.data(), request.size());
    std::string received;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      dispatcher.process();
      char buf[4096];
      const platform::NetResult r = platform::socketRecv(socket.handle(), buf, sizeof buf);
      if (r.ok() && r.value == 0) return received;
      if (r.ok()) received.append(buf, static_cast<size_t>(r.value));
      if (!r.ok() && r.error != platform::kNetWouldBlock) return received;
    }
    ADD_FAILURE() << "no close for " << path;
    return received;
  }

  MetricsHost host;
  adt::ChannelDispatcher dispatcher;
  uint16_t port = 0;
};

TEST_F(MetricsServing, AdmittedClientGetsTheTextWithItsContentType) {
  const std::string expected =
      "HTTP/1.1 200 OK\r\n"
      "X-UA-Compatible: IE=edge,chrome=1\r\n"
      "Cache-Control: no-cache\r\n"
      "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
      "Server: AM v5.2.430\r\n"
      "\r\n"
      "# HELP am_test Test.\n# TYPE am_test gauge\nam_test 42\n";
  EXPECT_EQ(get("/metrics"), expected);
  EXPECT_EQ(get("/metrics?x=1"), expected);
  EXPECT_EQ(host.calls, 2);
  EXPECT_EQ(host.lastAddress, 0x7F000001u);
  // Only the exact path: others are looked up among the resources.
  EXPECT_EQ(get("/metricsX"), "HTTP/1.1 404 Not found\r\n");
  EXPECT_EQ(host.calls, 2);
}

TEST_F(MetricsServing, ClientRefusedByTheManagersFilterGetsNothing) {
  host.common.masks.parse("10.0.0.*", config::kMaskAllow);
  EXPECT_EQ(get("/metrics"), "HTTP/1.1 403 Forbidden\r\n");
  host.common.masks.clear();
  host.common.masks.parse("127.0.0.1", config::kMaskBan);
  EXPECT_EQ(get("/metrics"), "HTTP/1.1 403 Forbidden\r\n");
  EXPECT_EQ(host.calls, 0);
  host.common.masks.clear();
  host.common.masks.parse("127.*.*.*", config::kMaskAllow);
  EXPECT_EQ(get("/metrics").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(host.calls, 1);
}

}  // namespace
}  // namespace web
