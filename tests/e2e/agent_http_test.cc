// The manager's listeners on agents' own HTTP ports with the real am and build/demo-agent: a
// browser at a stopped agent's port starts it and is served by the agent, a failing start is
// answered with its reason, idle browsers cost the manager nothing, and no other agent inherits
// the listener.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Child;

const std::string kAnswerHead =
    "HTTP/1.1 200 OK\nContent-Type: text/plain\nCache-Control: no-cache\n\n";

// A connected browser socket; -1 when the connection failed.
int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends a request on `fd` and reads until the server closes (at most `limit`); closes fd.
std::string request(int fd, std::chrono::milliseconds limit = 90s) {
  if (fd < 0) return "connect failed";
  const std::string req = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  (void)!write(fd, req.data(), req.size());
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

// The inode of the socket listening on 0.0.0.0:port ("" when none).
std::string listenerInode(int port) {
  const std::string table = testsupport::readFile("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof local, "00000000:%04X", port);
  size_t at = 0;
  while ((at = table.find('\n', at)) != std::string::npos) {
    ++at;
    const size_t end = table.find('\n', at);
    const std::string line = table.substr(at, end == std::string::npos ? end : end - at);
    std::istringstream fields(line);
    std::string slot, localAddr, remote, state, queues, timer, retr, uid, timeout, inode;
    fields >> slot >> localAddr >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
        inode;
    if (localAddr == local && state == "0A") return inode;
  }
  return "";
}

class AgentHttpE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    webPort_ = testsupport::freeTcpPort();
  }
  void TearDown() override {
    for (int fd : idle_) close(fd);
    home_.stop();
  }

  void start(const std::string& agents) {
    home_.writeIni(agents);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
    ASSERT_TRUE(am_->waitForOutput("http.open(" + std::to_string(webPort_) + ")[", 30s))
        << am_->output();
  }
  std::string webAgent(const std::string& name, const std::string& cmd) const {
    return "[agent]\nname=" + name + "\nhttp_port=" + std::to_string(webPort_) + "\ncmd=" + cmd +
           "\n";
  }
  std::vector<int> agentPids() { return home_.agentPids(); }
  // The pid of the named agent once it reported its start (0 when it did not within the time).
  int runningPid(const std::string& name) {
    const std::regex re("\"" + name + R"(" \(pid:(\d+)\) запущен)");
    int pid = 0;
    testsupport::waitUntil(
        [&] {
          std::smatch m;
          const std::string out = am_->output();
          if (!std::regex_search(out, m, re)) return false;
          pid = std::stoi(m[1]);
          return true;
        },
        60s);
    return pid;
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  int webPort_ = 0;
  Child* am_ = nullptr;
  std::vector<int> idle_;
};

TEST_F(AgentHttpE2E, BrowserAtAStoppedAgentIsServedByTheAgentItself) {
  start(webAgent("Web", AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 500"));
  EXPECT_EQ(am_->output().find("Запуск агента \"Web\""), std::string::npos);

  const std::string page = request(connectTo(webPort_));
  EXPECT_NE(page.find("Web is running"), std::string::npos) << page << "\n" << am_->output();
  EXPECT_NE(am_->output().find("Запуск агента \"Web\", причина: http..."), std::string::npos)
      << am_->output();
  const int pid = runningPid("Web");
  ASSERT_NE(pid, 0);
  // The agent took over the manager's listening socket, and serves the next browser too.
  const std::string inode = listenerInode(webPort_);
  ASSERT_FALSE(inode.empty());
  EXPECT_EQ(testsupport::socketsOf(pid).count(inode), 1u);
  EXPECT_NE(request(connectTo(webPort_)).find("Web is running"), std::string::npos);
  const std::vector<int> pids = agentPids();
  EXPECT_EQ(std::set<int>(pids.begin(), pids.end()), std::set<int>{pid});  // started once
}

TEST_F(AgentHttpE2E, SecurePortStartsTheAgentWhichServesBothPorts) {
  const int secure = testsupport::freeTcpPort();
  start(webAgent("Both", AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 500") +
        "https_port=" + std::to_string(secure) + "\n");
  ASSERT_TRUE(am_->waitForOutput("https.open(" + std::to_string(secure) + ")[", 30s))
      << am_->output();
  // The demo agent speaks plain HTTP on both sockets; what matters is who answers.
  const std::string page = request(connectTo(secure));
  EXPECT_NE(page.find("Both is running"), std::string::npos) << page << "\n" << am_->output();
  EXPECT_NE(request(connectTo(webPort_)).find("Both is running"), std::string::npos);
  const int pid = runningPid("Both");
  ASSERT_NE(pid, 0);
  const std::set<std::string> held = testsupport::socketsOf(pid);
  EXPECT_EQ(held.count(listenerInode(webPort_)), 1u);
  EXPECT_EQ(held.count(listenerInode(secure)), 1u);
}

TEST_F(AgentHttpE2E, FailingStartAnswersTheWaitingBrowserWithTheReason) {
  start(webAgent("Broken", "/bin/false"));
  const std::string answer = request(connectTo(webPort_));
  EXPECT_EQ(answer.rfind(kAnswerHead, 0), 0u) << answer << "\n" << am_->output();
  EXPECT_NE(answer.find("процесс самозавершился\nпричина запуска: http"), std::string::npos)
      << answer;

  // The listener is polled again: the next browser starts another attempt and is answered too.
  const std::string again = request(connectTo(webPort_));
  EXPECT_EQ(again.rfind(kAnswerHead + "процесс самозавершился", 0), 0u) << again;
}

TEST_F(AgentHttpE2E, IdleBrowsersDoNotHoldTheManager) {
  start(webAgent("Broken", "/bin/false"));
  // Browsers that connect and then neither send nor read.
  for (int i = 0; i < 24; ++i) {
    const int fd = connectTo(webPort_);
    ASSERT_GE(fd, 0);
    idle_.push_back(fd);
  }
  // The manager answers them (the small answer fits the socket buffers) and stays responsive.
  for (int fd : idle_) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_TRUE(testsupport::waitUntil([&] { return poll(&p, 1, 0) > 0; }, 60s));
    char head[16] = {};
    ASSERT_EQ(recv(fd, head, 15, MSG_PEEK), 15);
    EXPECT_EQ(std::string(head), "HTTP/1.1 200 OK");
  }
  am_->write("s\n");
  ASSERT_TRUE(am_->waitForOutput("channel: AgentHttp(" + std::to_string(webPort_) + ")[", 30s))
      << am_->output();
  EXPECT_NE(am_->output().find("]: Broken\n"), std::string::npos);
  const std::string answer = request(connectTo(webPort_));
  EXPECT_EQ(answer.rfind(kAnswerHead, 0), 0u) << answer;
}

TEST_F(AgentHttpE2E, NoOtherAgentInheritsTheListener) {
  start(webAgent("Web", AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 500") +
        "[agent]\nname=Other\nrun_at_least_once=1\ncmd=" AM_BUILD_DIR
        "/demo-agent --demo-telemetry-ms 500\n");
  const int other = runningPid("Other");
  ASSERT_NE(other, 0) << am_->output();
  const std::string inode = listenerInode(webPort_);
  ASSERT_FALSE(inode.empty());
  EXPECT_EQ(testsupport::socketsOf(am_->pid()).count(inode), 1u);
  EXPECT_EQ(testsupport::socketsOf(other).count(inode), 0u)
      << "the other agent holds the web listener";

  // Started by a browser, the web agent holds it; the other still does not.
  EXPECT_NE(request(connectTo(webPort_)).find("Web is running"), std::string::npos);
  const int web = runningPid("Web");
  ASSERT_NE(web, 0);
  EXPECT_EQ(testsupport::socketsOf(web).count(inode), 1u);
  EXPECT_EQ(testsupport::socketsOf(other).count(inode), 0u);
}

}  // namespace
