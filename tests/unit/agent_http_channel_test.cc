// The manager's listener on an agent's HTTP port, with real sockets on 127.0.0.1 and a real
// dispatcher; the agent record is real, its processes are fakes.
#include "agents/agent_http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "adt/dispatcher.h"
#include "adt/exception.h"
#include "adt/socket.h"
#include "agent_test_fakes.h"
#include "child.h"
#include "platform/net.h"

namespace agents::testing {
namespace {

using namespace std::chrono_literals;

const std::string kHead = "HTTP/1.1 200 OK\nContent-Type: text/plain\nCache-Control: no-cache\n\n";

class AgentHttpTest : public AgentTest {
 protected:
  void SetUp() override {
    host.openHttp = [this](Agent& a, uint16_t p, bool secure) -> AgentHttpSlot* {
      return AgentHttp::open(a, p, secure, dispatcher);
    };
    port = static_cast<uint16_t>(testsupport::freeTcpPort());
  }

  // An agent whose section gives http_port = port, with its listener open.
  std::unique_ptr<Agent> makeAgent() {
    config::AgentConf c = section();
    c.httpPort = port;
    auto agent = std::make_unique<Agent>(host, c);
    agent->syncHttpListeners();
    EXPECT_NE(agent->httpListener[0], nullptr);
    return agent;
  }

  // A browser: connected (the connection waits in the listener's backlog).
  std::unique_ptr<adt::Socket> browser(uint16_t to = 0) {
    auto s = std::make_unique<adt::Socket>();
    s->create(adt::Socket::STREAM);
    s->connect(platform::hostToNet32(0x7F000001), to ? to : port);
    return s;
  }

  static bool hasInput(const adt::Socket& s) {
    const platform::NetResult r = platform::socketWaitReadable(s.handle(), 0);
    return r.ok() && r.value > 0;
  }

  // Drives the dispatcher until the peer has closed; what the browser received.
  std::string readToEnd(adt::Socket& s) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      dispatcher.process();
      while (hasInput(s)) {
        char buf[4096];
        const platform::NetResult r = platform::socketRecv(s.handle(), buf, sizeof buf);
        if (!r.ok() || r.value == 0) return out;
        out.append(buf, static_cast<size_t>(r.value));
      }
    }
    ADD_FAILURE() << "the connection was not closed; received so far: " << out;
    return out;
  }

  // Steps the dispatcher until `condition` holds (bounded).
  bool stepUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      dispatcher.process();
    }
    return true;
  }

  AgentHttp& listener(Agent& agent, int i = 0) {
    return *static_cast<AgentHttp*>(agent.httpListener[i]);
  }

  uint16_t port = 0;
  adt::ChannelDispatcher dispatcher;  // destroyed before the host and the agents' clock
};

TEST_F(AgentHttpTest, OpensBothPortsDescribesThemAndRefusesAPortInUse) {
  config::AgentConf c = section("Web");
  c.httpPort = port;
  c.httpsPort = static_cast<uint16_t>(testsupport::freeTcpPort());
  Agent agent(host, c);
  agent.syncHttpListeners();
  ASSERT_NE(agent.httpListener[0], nullptr);
  ASSERT_NE(agent.httpListener[1], nullptr);
  AgentHttp& http = listener(agent, 0);
  AgentHttp& https = listener(agent, 1);
  EXPECT_EQ(dispatcher.count(), 2u);
  EXPECT_FALSE(http.secure());
  EXPECT_TRUE(https.secure());

  const std::string h = std::to_string(http.socketHandle());
  const std::string hs = std::to_string(https.socketHandle());
  EXPECT_TRUE(
      logs.has(adt::LOG_INFO, "http.open(" + std::to_string(port) + ")[" + h + "]: \"Web\""));
  EXPECT_TRUE(logs.has(adt::LOG_INFO,
                       "https.open(" + std::to_string(c.httpsPort) + ")[" + hs + "]: \"Web\""));
  adt::String text;
  http.describe(text);
  EXPECT_EQ(text, "AgentHttp(" + std::to_string(port) + ")[" + h + "]: Web");
  text.clear();
  https.describe(text);
  EXPECT_EQ(text, "AgentHttps(" + std::to_string(c.httpsPort) + ")[" + hs + "]: Web");

  // A second listener on the same port fails and registers nothing.
  Agent other(host, section("Other", "o1"));
  EXPECT_THROW(AgentHttp::open(other, port, false, dispatcher), adt::SocketException);
  EXPECT_EQ(dispatcher.count(), 2u);

  // Closing lets go of the agent at once; the dispatcher destroys the channel.
  http.close();
  agent.httpListener[0] = nullptr;
  text.clear();
  http.describe(text);
  EXPECT_EQ(text, "AgentHttp(" + std::to_string(port) + ")[" + h + "]");
  ASSERT_TRUE(stepUntil([&] { return dispatcher.count() == 1; }));
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "http.close[" + h + "]"));
}

TEST_F(AgentHttpTest, WaitingBrowserStartsTheAgentAndIsLeftInTheBacklogForIt) {
  auto agent = makeAgent();
  AgentHttp& http = listener(*agent);
  auto b = browser();

  // The connection asks for a start; the launch belongs to the next supervision pass, so the
  // listener stays polled meanwhile.
  ASSERT_TRUE(stepUntil([&] { return agent->run != nullptr; }));
  EXPECT_EQ(agent->startReason, "http");
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "Запуск агента \"A\", причина: http..."));
  EXPECT_FALSE(http.setAside());
  EXPECT_EQ(dispatcher.count(), 1u);

  agent->runOnce();
  ASSERT_NE(agent->process(), nullptr);
  ASSERT_EQ(host.backend.spawns.size(), 1u);
  ASSERT_EQ(host.backend.spawns[0].inheritedSockets.size(), 1u);
  EXPECT_EQ(host.backend.spawns[0].inheritedSockets[0], http.socketHandle());

  // The process exists: the listener steps aside for it.
  ASSERT_TRUE(stepUntil([&] { return http.setAside(); }));
  EXPECT_EQ(dispatcher.count(), 0u);
  EXPECT_EQ(host.backend.spawns.size(), 1u);
  EXPECT_FALSE(hasInput(*b));  // nothing was accepted or answered by the manager

  // The agent accepts the very connection from the inherited socket.
  const platform::NetResult accepted = platform::socketAccept(http.socketHandle(), nullptr);
  ASSERT_TRUE(accepted.ok());
  adt::Socket served(static_cast<adt::SocketHandle>(accepted.value));
  served.sendAll("agent page", 10);
  char buf[16] = {};
  const platform::NetResult r = platform::socketRecv(b->handle(), buf, sizeof buf);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::string(buf, static_cast<size_t>(r.value)), "agent page");
}

TEST_F(AgentHttpTest, StopReasonAnswersEveryWaitingBrowserThenPollingResumes) {
  auto agent = makeAgent();
  AgentHttp& http = listener(*agent);
  auto first = browser();
  ASSERT_TRUE(stepUntil([&] { return agent->run != nullptr; }));
  agent->runOnce();
  ASSERT_TRUE(stepUntil([&] { return http.setAside(); }));
  auto second = browser();
  auto third = browser();

  // The agent ends before it ever linked; the clean-up answers with the stop reason.
  host.backend.last().exit(1);
  agent->runOnce();
  ASSERT_TRUE(agent->run && agent->run->finished);
  const std::string reason = agent->stopReason;
  EXPECT_EQ(reason, "процесс самозавершился\nпричина запуска: http");
  agent->runOnce();
  EXPECT_EQ(agent->run, nullptr);
  EXPECT_FALSE(http.setAside());

  for (auto* b : {&first, &second, &third}) {
    EXPECT_EQ(readToEnd(**b), kHead + reason);
    b->reset();
  }
  // Answer channels end with their browsers; the listener is polled again, and the next browser
  // starts anew.
  ASSERT_TRUE(stepUntil([&] { return dispatcher.count() == 1; }));
  auto again = browser();
  ASSERT_TRUE(stepUntil([&] { return agent->run != nullptr; }));
  EXPECT_EQ(agent->startReason, "http");
}

TEST_F(AgentHttpTest, FailedLaunchIsAnsweredWithTheFailureText) {
  auto agent = makeAgent();
  host.backend.spawnError = 2;
  auto b = browser();
  ASSERT_TRUE(stepUntil([&] { return agent->run != nullptr; }));
  agent->runOnce();  // the launch throws: the run is finished without a process
  ASSERT_TRUE(agent->run && agent->run->finished);
  EXPECT_EQ(agent->process(), nullptr);
  const std::string reason = agent->stopReason;
  EXPECT_EQ(reason.rfind("Ошибка запуска агента \"A\"", 0), 0u) << reason;

  // Still polled and not set aside: the connection waits for the clean-up's answer.
  dispatcher.process();
  EXPECT_FALSE(listener(*agent).setAside());
  EXPECT_FALSE(hasInput(*b));
  agent->runOnce();
  EXPECT_EQ(readToEnd(*b), kHead + reason);
}

TEST_F(AgentHttpTest, PortChangeWaitsForTheStopAndMovesTheListener) {
  auto agent = makeAgent();
  auto b = browser();
  ASSERT_TRUE(stepUntil([&] { return agent->run != nullptr; }));
  agent->runOnce();
  const std::string oldHandle = std::to_string(listener(*agent).socketHandle());
  ASSERT_TRUE(stepUntil([&] { return listener(*agent).setAside(); }));

  const uint16_t newPort = static_cast<uint16_t>(testsupport::freeTcpPort());
  config::AgentConf c = section();
  c.httpPort = newPort;
  agent->configure(c);
  EXPECT_EQ(listener(*agent).port(), port);  // the run exists: not yet

  host.backend.last().exit(0);
  agent->runOnce();
  agent->runOnce();  // clean-up: answer, then the old listener (set aside) goes at once
  ASSERT_NE(agent->httpListener[0], nullptr);
  EXPECT_EQ(listener(*agent).port(), newPort);
  EXPECT_TRUE(logs.has(adt::LOG_INFO, "http.close[" + oldHandle + "]"));
  EXPECT_EQ(readToEnd(*b).rfind(kHead, 0), 0u);
  b.reset();
  EXPECT_THROW(browser(port), adt::SocketException);  // nobody listens on the old port
  auto onNew = browser(newPort);
  ASSERT_TRUE(stepUntil([&] { return agent->run != nullptr; }));

  // A port set to 0 with no run: the listener is closed at once and nothing takes its place.
  agent->run.reset();
  c.httpPort = 0;
  agent->configure(c);
  EXPECT_EQ(agent->httpListener[0], nullptr);
  EXPECT_TRUE(stepUntil([&] { return dispatcher.count() == 0; }));
}

TEST_F(AgentHttpTest, IdleBrowserIsDroppedWhenItsTimeIsUp) {
  auto agent = makeAgent();
  AgentHttp& http = listener(*agent);
  http.close();  // no starts in this test
  agent->httpListener[0] = nullptr;
  ASSERT_TRUE(stepUntil([&] { return dispatcher.count() == 0; }));

  // A fresh listener that is set aside only to be answered, as after a stop.
  AgentHttp* raw = AgentHttp::open(*agent, port, false, dispatcher);
  agent->httpListener[0] = raw;
  auto idle = browser();
  auto reader = browser();
  host.stoppingFlag = true;  // the connection sets the listener aside without a start
  ASSERT_TRUE(stepUntil([&] { return raw->setAside(); }));
  EXPECT_EQ(agent->run, nullptr);
  raw->answerAll("stop");
  EXPECT_EQ(dispatcher.count(), 2u);
  // One browser reads its answer and leaves; the other never closes its side.
  EXPECT_EQ(readToEnd(*reader), kHead + "stop");
  reader.reset();
  ASSERT_TRUE(stepUntil([&] { return dispatcher.count() == 1; }));
  for (int i = 0; i < 3; ++i) dispatcher.process();
  EXPECT_EQ(dispatcher.count(), 1u);  // within its time the idle one stays
  advance(AgentHttpAnswer::kLimitMs);
  ASSERT_TRUE(stepUntil([&] { return dispatcher.count() == 0; }));
}

TEST_F(AgentHttpTest, DestroyedByItsDispatcherItClearsTheAgentsPointer) {
  Agent agent(host, section());
  {
    adt::ChannelDispatcher own;
    agent.httpListener[1] = AgentHttp::open(agent, port, true, own);
    EXPECT_TRUE(logs.hasPrefix(adt::LOG_INFO, "https.open(" + std::to_string(port) + ")["));
  }
  EXPECT_EQ(agent.httpListener[1], nullptr);
  EXPECT_TRUE(logs.hasPrefix(adt::LOG_INFO, "https.close["));
  // The port is free again.
  agent.httpListener[0] = AgentHttp::open(agent, port, false, dispatcher);
  EXPECT_EQ(dispatcher.count(), 1u);
}

}  // namespace
}  // namespace agents::testing
