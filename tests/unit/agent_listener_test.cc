// The manager's agent socket on real loopback UDP: datagrams reach the host, and a datagram sent
// to a port that has closed comes back as a bounce naming that port, once, without leaving the
// socket readable for ever.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "adt/dispatcher.h"
#include "adt/socket.h"
#include "agents/agent_listener.h"
#include "child.h"
#include "platform/net.h"

namespace agents {
namespace {

class RecordingHost final : public AgentLinkHost {
 public:
  void agentDatagram(const uint8_t* data, size_t size, uint16_t sourcePort) override {
    datagrams.emplace_back(reinterpret_cast<const char*>(data), size);
    sources.push_back(sourcePort);
  }
  void agentBounced(uint16_t port) override { bounced.push_back(port); }

  std::vector<std::string> datagrams;
  std::vector<uint16_t> sources;
  std::vector<uint16_t> bounced;
};

constexpr uint32_t kLoopback = 0x7F000001;

adt::SocketAddress loopback(uint16_t port) {
  return adt::SocketAddress{platform::hostToNet32(kLoopback), port};
}

bool readable(AgentListener& listener, int ms) {
  const platform::NetResult r = platform::socketWaitReadable(listener.handle(), ms);
  return r.ok() && r.value == 1;
}

TEST(AgentListenerBounce, ClosedAgentPortIsReportedOnceAndTheSocketQuietens) {
  RecordingHost host;
  adt::ChannelDispatcher dispatcher;
  AgentListener listener(static_cast<uint16_t>(testsupport::freePort()), host, nullptr);

  // An agent's socket: it talks, then goes away.
  uint16_t agentPort = 0;
  {
    adt::Socket agent;
    agent.create(1);
    agent.bind(0);
    agentPort = agent.localPort();
    agent.sendTo("hello", 5, loopback(listener.port()));
    ASSERT_TRUE(readable(listener, 10000));
    listener.onRead(dispatcher);
    ASSERT_EQ(host.datagrams, std::vector<std::string>{"hello"});
    EXPECT_EQ(host.sources.front(), agentPort);
  }

  // The manager's next request to it bounces off the closed port.
  listener.sendTo("ping", 4, loopback(agentPort));
  ASSERT_TRUE(readable(listener, 10000));
  listener.onRead(dispatcher);
  EXPECT_EQ(host.bounced, std::vector<uint16_t>{agentPort});
  // Taken: the socket no longer reports itself ready, so the dispatcher does not spin on it.
  EXPECT_FALSE(readable(listener, 200));
  EXPECT_EQ(host.datagrams.size(), 1u);

  // Datagrams still flow after a bounce.
  adt::Socket other;
  other.create(1);
  other.bind(0);
  other.sendTo("again", 5, loopback(listener.port()));
  ASSERT_TRUE(readable(listener, 10000));
  listener.onRead(dispatcher);
  EXPECT_EQ(host.datagrams.back(), "again");
  EXPECT_EQ(host.bounced.size(), 1u);
}

TEST(AgentListenerBounce, ManyBouncesAreTakenInBoundedReads) {
  RecordingHost host;
  adt::ChannelDispatcher dispatcher;
  AgentListener listener(static_cast<uint16_t>(testsupport::freePort()), host, nullptr);
  std::vector<uint16_t> closed;
  for (int i = 0; i < 5; ++i) {
    adt::Socket s;
    s.create(1);
    s.bind(0);
    closed.push_back(s.localPort());
  }
  // Sent in a row: each bounce leaves an error pending, which must not fail the next send.
  for (uint16_t port : closed) listener.sendTo("x", 1, loopback(port));
  ASSERT_TRUE(testsupport::waitUntil([&] {
    if (readable(listener, 50)) listener.onRead(dispatcher);
    return host.bounced.size() == closed.size();
  }));
  EXPECT_EQ(host.bounced, closed);
  EXPECT_FALSE(readable(listener, 200));
}

// Registered with a dispatcher as in the manager: a stream of datagrams (one a millisecond, as
// from 1000 agents) is read in a few batches instead of a wake each, every datagram arrives in
// order and soon, and once the stream stops a lone datagram is read in the very next step.
TEST(AgentListenerPacing, AStreamIsReadInBatchesAndALoneDatagramAtOnce) {
  RecordingHost host;
  // Declared before the dispatcher, which clears it when it destroys the listener.
  AgentListener* listener = nullptr;
  adt::ChannelDispatcher dispatcher;
  dispatcher.add(new AgentListener(static_cast<uint16_t>(testsupport::freePort()), host, &listener));
  ASSERT_NE(listener, nullptr);
  const uint16_t port = listener->port();

  constexpr int kCount = 300;
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    adt::Socket agent;
    agent.create(1);
    agent.bind(0);
    for (int i = 0; i < kCount; ++i) {
      const std::string text = std::to_string(i);
      agent.sendTo(text.data(), text.size(), loopback(port));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sent = true;
  });
  // Steps back to back, as the manager's loop runs them (bounded in time).
  const auto stepUntil = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      dispatcher.process();
    }
    return true;
  };
  int deliveringSteps = 0;
  size_t seen = 0;
  const bool all = stepUntil([&] {
    if (host.datagrams.size() > seen) ++deliveringSteps;
    seen = host.datagrams.size();
    return sent && host.datagrams.size() == static_cast<size_t>(kCount);
  });
  sender.join();
  ASSERT_TRUE(all) << host.datagrams.size();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(host.datagrams[i], std::to_string(i));
  // About one step per pause (300 ms / 20 ms), not one per datagram.
  EXPECT_LT(deliveringSteps, kCount / 3);

  // Quiet again: watched once the pause is over, and a lone datagram is read in one step.
  ASSERT_TRUE(stepUntil([&] { return listener->wantsRead(); }));
  adt::Socket late;
  late.create(1);
  late.bind(0);
  late.sendTo("late", 4, loopback(port));
  dispatcher.process();
  EXPECT_EQ(host.datagrams.back(), "late");
}

}  // namespace
}  // namespace agents
