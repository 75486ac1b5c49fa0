// GET /metrics of the real am supervising a demo agent, read by prometheus_client's parser:
// the agent's starts and up gauge, an agent killed behind the manager's back and restarted,
// the client connections, and a client address the manager's ip_mask refuses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "am_home.h"
#include "http_get.h"

namespace {

using namespace std::chrono_literals;

// One request from `source` (host order), the whole answer until the server closes.
std::string httpGet(int port, const std::string& path, uint32_t source = 0x7F000001) {
  return testsupport::httpRequest(port, "GET " + path + " HTTP/1.1", source);
}

// What the parser read: "name labels" -> value, families by name -> type.
struct Parsed {
  bool ok = false;
  std::string raw;
  std::map<std::string, double> samples;
  std::map<std::string, std::string> families;

  bool has(const std::string& key) const { return samples.count(key) != 0; }
  double at(const std::string& key) const {
    auto it = samples.find(key);
    return it == samples.end() ? -1 : it->second;
  }
};

class MetricsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    http_ = testsupport::freeTcpPort();
    // Only 127.0.0.1 may talk to the manager; 127.0.0.2 is refused.
    home_.writeIni("[agent]\nname=Metered\nsched=0h-*/24h\ncmd=" AM_BUILD_DIR
                   "/demo-agent --demo-telemetry-ms 500\n",
                   "http_port=" + std::to_string(http_) + "\nip_mask=127.0.0.1\n" +
                       // A mail server nobody runs: every notification fails.
                       "mail.server=127.0.0.1:" + std::to_string(testsupport::freeTcpPort()) +
                       "\nmail.account=am@localhost\nadmin.mail=admin@localhost\n");
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  }

  // GET /metrics from 127.0.0.1, checked and parsed with the real parser.
  Parsed scrape() {
    Parsed p;
    const std::string answer = httpGet(http_, "/metrics");
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || body == std::string::npos) {
      p.raw = answer;
      return p;
    }
    const std::string head = answer.substr(0, body);
    EXPECT_NE(head.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8"),
              std::string::npos)
        << head;
    testsupport::writeFile(dir_.file("metrics.txt"), answer.substr(body + 4));
    const testsupport::RunResult r = testsupport::run(
        {"/usr/bin/python3", AM_SOURCE_DIR "/tests/servers/parse_metrics.py",
         dir_.file("metrics.txt")});
    p.raw = r.output;
    if (r.exitCode != 0) return p;
    std::istringstream lines(r.output);
    std::string kind, name, labels, value;
    while (lines >> kind >> name >> labels) {
      if (kind == "family") {
        p.families[name] = labels;
        continue;
      }
      lines >> value;
      p.samples[name + " " + labels] = std::stod(value);
    }
    p.ok = true;
    return p;
  }
  // Scrapes until `condition` holds of a parsed answer (bounded); the last answer.
  Parsed scrapeUntil(const std::function<bool(const Parsed&)>& condition,
                     std::chrono::milliseconds limit = 60s) {
    Parsed last;
    testsupport::waitUntil(
        [&] {
          last = scrape();
          if (last.ok && condition(last)) return true;
          std::this_thread::sleep_for(100ms);  // between scrapes, not a wait for an outcome
          return false;
        },
        limit);
    return last;
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  testsupport::TempDir dir_;
  int http_ = 0;
};

const std::string kAgent = "agent=Metered,worker=0";

TEST_F(MetricsE2E, AgentCountersFollowAKillAndTheRestart) {
  Parsed m = scrapeUntil([](const Parsed& p) { return p.at("am_agent_up " + kAgent) == 1; });
  ASSERT_TRUE(m.ok) << m.raw;
  ASSERT_EQ(m.at("am_agent_up " + kAgent), 1) << m.raw;
  EXPECT_EQ(m.at("am_agent_starts_total " + kAgent), 1) << m.raw;
  EXPECT_EQ(m.at("am_agent_unexpected_ends_total " + kAgent), 0) << m.raw;
  EXPECT_EQ(m.at("am_agent_kills_total " + kAgent), 0) << m.raw;
  EXPECT_EQ(m.at("am_agents state=running"), 1) << m.raw;
  EXPECT_EQ(m.at("am_agents state=stopped"), 0) << m.raw;
  EXPECT_GT(m.at("am_agent_uptime_seconds " + kAgent), 0) << m.raw;
  EXPECT_GT(m.at("am_resident_bytes -"), 0) << m.raw;
  EXPECT_GE(m.at("am_uptime_seconds -"), 0) << m.raw;
  EXPECT_EQ(m.at("am_notification_failures_total -"), 0) << m.raw;
  EXPECT_EQ(m.families["am_agent_starts"], "counter") << m.raw;
  EXPECT_EQ(m.families["am_agent_up"], "gauge") << m.raw;

  // The manager's own 5-second sample of the process shows up, and is counted among the
  // samples held.
  m = scrapeUntil([](const Parsed& p) { return p.has("am_agent_resident_bytes " + kAgent); });
  EXPECT_GT(m.at("am_agent_resident_bytes " + kAgent), 0) << m.raw;
  EXPECT_GT(m.at("am_sample_history_bytes -"), 0) << m.raw;
  EXPECT_GE(m.at("am_agent_cpu_seconds_total " + kAgent), 0) << m.raw;

  const auto distinctPids = [&] {
    const std::vector<int> named = home_.agentPids();  // each pid as often as it is named
    return std::set<int>(named.begin(), named.end());
  };
  const std::set<int> pids = distinctPids();
  ASSERT_EQ(pids.size(), 1u) << home_.console().output();
  ASSERT_EQ(kill(*pids.begin(), SIGKILL), 0);
  // The all-day schedule starts it again.
  m = scrapeUntil([](const Parsed& p) {
    return p.at("am_agent_starts_total " + kAgent) == 2 && p.at("am_agent_up " + kAgent) == 1;
  });
  EXPECT_EQ(m.at("am_agent_unexpected_ends_total " + kAgent), 1) << m.raw;
  EXPECT_EQ(m.at("am_agent_starts_total " + kAgent), 2) << m.raw;
  EXPECT_EQ(m.at("am_agent_up " + kAgent), 1) << m.raw;
  EXPECT_EQ(m.at("am_agent_kills_total " + kAgent), 0) << m.raw;  // it died by itself
  EXPECT_TRUE(testsupport::waitUntil([&] { return distinctPids().size() == 2; }, 30s))
      << home_.console().output();
  // The notification of the unexpected end could not be delivered: counted.
  m = scrapeUntil([](const Parsed& p) { return p.at("am_notification_failures_total -") >= 1; });
  EXPECT_GE(m.at("am_notification_failures_total -"), 1) << m.raw;

  ASSERT_TRUE(home_.stop()) << home_.console().output();
}

TEST_F(MetricsE2E, ClientConnectionsAndAnAddressTheManagerRefuses) {
  // An open binary-protocol connection is counted while it lasts.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(home_.clientPort));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  Parsed m = scrapeUntil([](const Parsed& p) { return p.at("am_client_connections -") == 1; });
  EXPECT_EQ(m.at("am_client_connections -"), 1) << m.raw;
  close(fd);
  m = scrapeUntil([](const Parsed& p) { return p.at("am_client_connections -") == 0; });
  EXPECT_EQ(m.at("am_client_connections -"), 0) << m.raw;

  // A command through amctl is counted under its tag.
  const testsupport::RunResult agents = testsupport::run(
      {"/usr/bin/env", "-u", "AM_CLIENT_PORT", AM_BUILD_DIR "/amctl", "--port",
       std::to_string(home_.clientPort), "agents"},
      "", 90s);
  EXPECT_EQ(agents.exitCode, 0) << agents.output;
  const auto requests = [](const Parsed& p) {
    double sum = 0;
    for (const auto& [key, value] : p.samples) {
      if (key.rfind("am_client_requests_total command=", 0) == 0) sum += value;
    }
    return sum;
  };
  m = scrapeUntil([&](const Parsed& p) { return requests(p) >= 1; });
  EXPECT_GE(requests(m), 1) << m.raw;
  EXPECT_EQ(m.families["am_client_requests"], "counter") << m.raw;

  const std::string refused = httpGet(http_, "/metrics", 0x7F000002);
  EXPECT_EQ(refused, "HTTP/1.1 403 Forbidden\r\n");
  EXPECT_EQ(refused.find("am_"), std::string::npos);

  ASSERT_TRUE(home_.stop()) << home_.console().output();
}

}  // namespace
