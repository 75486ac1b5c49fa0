#include "adt/dispatcher.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "adt/exception.h"
#include "adt/log.h"
#include "adt/socket.h"
#include "data.h"
#include "fake_clock.h"
#include "log_recorder.h"

namespace adt {
namespace {

const uint32_t kLoopback = platform::hostToNet32(0x7F000001);

using testsupport::LogRecorder;
using testsupport::ManualClock;
using testsupport::patternText;

// What a test channel did; outlives the channel so tests can look after it is destroyed.
struct Probe {
  int id = 0;
  bool destroyed = false;
  ChannelState lastState = ChannelState::Open;
  size_t discardedAtEnd = 0;
  std::string data;
  size_t sent = 0;
  int reads = 0;
  // Behaviour switches.
  bool detachOnRead = false;
  bool leaveInput = false;  // reads nothing: the socket stays readable
  size_t largestBlock = 0;  // the largest room a received block came with
  int idles = 0;
  std::function<void()> onDataHook;
  std::function<void()> onIdleHook;
};

// The order in which channels' handlers ran in the current step.
std::vector<int> g_trace;

class TestChannel : public ClientChannel {
 public:
  TestChannel(SocketHandle h, Probe* probe) : socket_(h), probe_(probe) {}
  ~TestChannel() override {
    probe_->destroyed = true;
    probe_->lastState = state();
    probe_->discardedAtEnd = discardedBytes();
  }
  SocketHandle handle() const override { return socket_.handle(); }
  Probe* probe() const { return probe_; }
  int onRead(ChannelDispatcher& d) override {
    g_trace.push_back(probe_->id);
    ++probe_->reads;
    if (probe_->detachOnRead) return 1;
    if (probe_->leaveInput) return 0;
    const int r = ClientChannel::onRead(d);
    probe_->lastState = state();
    return r;
  }
  void onIdle() override {
    g_trace.push_back(probe_->id);
    ++probe_->idles;
    if (probe_->onIdleHook) probe_->onIdleHook();
  }

 protected:
  void onData(Buffer* b) override {
    std::unique_ptr<Buffer> owned(b);
    probe_->data.append(reinterpret_cast<const char*>(b->begin()), b->size());
    if (auto* dynamic = dynamic_cast<DynamicBuffer*>(b)) {
      probe_->largestBlock = std::max(probe_->largestBlock, dynamic->capacity());
    }
    if (probe_->onDataHook) probe_->onDataHook();
  }
  void onSent(size_t n) override { probe_->sent += n; }

 private:
  Socket socket_;
  Probe* probe_;
};

class TestListener : public ServerChannel {
 public:
  TestListener(std::vector<std::unique_ptr<Probe>>* probes) : probes_(probes) {
    socket_.create(Socket::STREAM);
    socket_.bind(kLoopback, 0);
    socket_.listen(Socket::maxBacklog());
    socket_.setNonBlocking(true);
    port = socket_.localPort();
  }
  SocketHandle handle() const override { return socket_.handle(); }
  uint16_t port;

 protected:
  Channel* createChannel(SocketHandle h) override {
    probes_->push_back(std::make_unique<Probe>());
    return new TestChannel(h, probes_->back().get());
  }

 private:
  Socket socket_;
  std::vector<std::unique_ptr<Probe>>* probes_;
};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_trace.clear();
    listener_.create(Socket::STREAM);
    listener_.bind(kLoopback, 0);
    listener_.listen(Socket::maxBacklog());
  }
  // The texts of the error lines logged so far.
  std::vector<std::string> errors() const { return log_.texts(LOG_ERR); }

  // A connected pair: the peer end (blocking) and a registered channel on the other end.
  struct Pair {
    std::unique_ptr<Socket> peer;
    TestChannel* channel;
    Probe* probe;
  };
  Pair connect(ChannelDispatcher& d, int id = 0) {
    Pair p;
    p.peer = std::make_unique<Socket>();
    p.peer->create(Socket::STREAM);
    p.peer->connect(kLoopback, listener_.localPort());
    Socket accepted(listener_.accept());
    accepted.setNonBlocking(true);
    probes_.push_back(std::make_unique<Probe>());
    p.probe = probes_.back().get();
    p.probe->id = id;
    p.channel = new TestChannel(accepted.release(), p.probe);
    d.add(p.channel);
    return p;
  }

  // Channel 1 always readable (its input is left where it is), channel 2 quiet.
  std::pair<Pair, Pair> busyAndQuiet(ChannelDispatcher& d) {
    Pair busy = connect(d, 1);
    busy.probe->leaveInput = true;
    busy.peer->sendAll("!", 1);
    return {std::move(busy), connect(d, 2)};
  }

  // Runs steps until `done` holds; false when it did not within a generous bound.
  static bool runUntil(ChannelDispatcher& d, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      d.process();
    }
    return true;
  }

  LogRecorder log_;
  Socket listener_;
  std::vector<std::unique_ptr<Probe>> probes_;
};

TEST_F(DispatcherTest, AStepWithoutChannelsReturnsAtOnce) {
  ChannelDispatcher d;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(d.process());
  // Twenty waits of 100 ms would take two seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
}

TEST_F(DispatcherTest, OneStepServesEveryReadyChannelOnceEach) {
  ChannelDispatcher d;
  std::vector<Pair> pairs;
  for (int i = 0; i < 300; ++i) pairs.push_back(connect(d, i));
  ASSERT_EQ(d.count(), 300u);
  // One peer floods, the others send a line each: the flood gets one receive like the rest.
  const std::string flood = patternText(1 << 20);
  std::thread flooder([&] { pairs[0].peer->sendAll(flood.data(), flood.size()); });
  ASSERT_TRUE(runUntil(d, [&] { return !pairs[0].probe->data.empty(); }));
  for (int i = 1; i < 300; ++i) pairs[i].peer->sendAll("hi", 2);  // in the socket at return
  g_trace.clear();
  const size_t floodBefore = pairs[0].probe->data.size();
  ASSERT_TRUE(d.process());
  for (int i = 1; i < 300; ++i) EXPECT_EQ(pairs[i].probe->data, "hi") << i;
  EXPECT_LE(pairs[0].probe->data.size() - floodBefore, ChannelDispatcher::kReceiveChunk);
  // Each read once; each block came with room for what it holds, not a fixed 64 KiB.
  EXPECT_EQ(std::set<int>(g_trace.begin(), g_trace.end()).size(), g_trace.size());
  EXPECT_EQ(pairs[1].probe->largestBlock, 2u);
  ASSERT_TRUE(runUntil(d, [&] { return pairs[0].probe->data.size() == flood.size(); }));
  flooder.join();
  EXPECT_TRUE(pairs[0].probe->data == flood);
}

TEST_F(DispatcherTest, ChannelsClosedByAnotherHandlerInTheSameStepGoQuietly) {
  ChannelDispatcher d;
  std::vector<Pair> pairs;
  for (int i = 0; i < 10; ++i) pairs.push_back(connect(d, i));
  // Whichever is served first drops all the others, which are ready in the same step.
  bool dropped = false;
  for (Pair& p : pairs) {
    Probe* self = p.probe;
    p.probe->onDataHook = [&, self] {
      if (dropped) return;
      dropped = true;
      d.forEach([&](Channel& c) {
        if (static_cast<TestChannel&>(c).probe() != self) c.setState(ChannelState::Closed);
      });
    };
  }
  for (Pair& p : pairs) p.peer->sendAll("x", 1);
  ASSERT_TRUE(runUntil(d, [&] { return d.count() == 1; }));
  int alive = 0;
  for (Pair& p : pairs) alive += p.probe->destroyed ? 0 : 1;
  EXPECT_EQ(alive, 1);
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, PeriodicWorkRunsOnTheClockWhileASocketIsAlwaysReadable) {
  ManualClock clock;
  ChannelDispatcher d(clock);
  auto [busy, quiet] = busyAndQuiet(d);
  std::vector<uint64_t> ran;
  d.setPeriodic(100, [&] { ran.push_back(clock.now.load()); });

  const uint64_t t0 = clock.now.load();
  const auto started = std::chrono::steady_clock::now();
  for (int step = 1; step <= 50; ++step) {
    clock.now += 10;
    ASSERT_TRUE(d.process());
  }
  // Due at once, then every 100 ms of the clock: neither on every step nor starved.
  EXPECT_EQ(ran, (std::vector<uint64_t>{t0 + 10, t0 + 110, t0 + 210, t0 + 310, t0 + 410}));
  EXPECT_EQ(busy.probe->reads, 50);
  // The quiet channel has its idle handler every 10 ms of the clock, the busy one never.
  EXPECT_EQ(quiet.probe->idles, 50);
  EXPECT_EQ(busy.probe->idles, 0);
  // Always readable: no step waited (fifty 100-ms waits would take five seconds).
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

  // A failing periodic step is logged and the next one still comes.
  d.setPeriodic(100, [&] { throw std::runtime_error("periodic failure"); });
  clock.now += 10;
  d.process();
  EXPECT_EQ(errors(), std::vector<std::string>{"periodic failure"});
}

// A time asked for with wakeBy() brings an idle pass although a busy socket keeps every wait
// short and the last pass was less than 10 ms ago; the pass that reaches it forgets it.
TEST_F(DispatcherTest, AnIdlePassComesAtTheTimeAskedFor) {
  ManualClock clock;
  ChannelDispatcher d(clock);
  auto [busy, quiet] = busyAndQuiet(d);
  ASSERT_TRUE(d.process());  // the first step always idles
  const int first = quiet.probe->idles;

  d.wakeBy(clock.now.load() + 3);
  clock.now += 2;
  ASSERT_TRUE(d.process());
  EXPECT_EQ(quiet.probe->idles, first);  // not yet
  clock.now += 2;
  ASSERT_TRUE(d.process());
  EXPECT_EQ(quiet.probe->idles, first + 1);  // 4 ms after the last pass: only for the time asked
  clock.now += 2;
  ASSERT_TRUE(d.process());
  EXPECT_EQ(quiet.probe->idles, first + 1);  // forgotten once reached

  // The earliest of two counts.
  d.wakeBy(clock.now.load() + 8);
  d.wakeBy(clock.now.load() + 1);
  clock.now += 1;
  ASSERT_TRUE(d.process());
  EXPECT_EQ(quiet.probe->idles, first + 2);
}

TEST_F(DispatcherTest, AQuietDispatcherIdlesAndDoesItsPeriodicWorkTenTimesASecond) {
  ChannelDispatcher d;
  Pair quiet = connect(d);
  int periodic = 0;
  d.setPeriodic(100, [&] { ++periodic; });
  const auto started = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(1000)) d.process();
  // Neither spinning nor sleeping through it (bounds generous for a busy machine).
  EXPECT_GE(periodic, 4);
  EXPECT_LE(periodic, 11);
  EXPECT_GE(quiet.probe->idles, 4);
  EXPECT_LE(quiet.probe->idles, 200);
}

TEST_F(DispatcherTest, AFullSendQueueHoldsThePeerBackUntilItDrains) {
  ManualClock clock;
  ChannelDispatcher d(clock);
  Pair p = connect(d);
  // Small socket buffers, so that the reply stays queued over the limit.
  ASSERT_EQ(platform::socketSetOption(p.channel->handle(), platform::kSendBuffer, 65536), 0);
  ASSERT_EQ(platform::socketSetOption(p.peer->handle(), platform::kReceiveBuffer, 65536), 0);
  const std::string reply = patternText(ClientChannel::kSendQueueLimit + (4 << 20));
  p.channel->send(new CopyBuffer(reply.data(), reply.size()));
  EXPECT_FALSE(p.channel->wantsRead());
  p.peer->sendAll("more", 4);
  for (int i = 0; i < 20; ++i) d.process();
  EXPECT_TRUE(p.probe->data.empty());  // not read while the reply waits

  // The peer takes the reply: reading resumes and the request arrives.
  std::string received;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    p.peer->setTimeout(20000);
    std::string buf(65536, '\0');
    while (received.size() < reply.size()) {
      const int n = p.peer->recv(buf.data(), buf.size());
      if (n <= 0) break;
      received.append(buf.data(), static_cast<size_t>(n));
    }
    done = true;
  });
  const bool resumed = runUntil(d, [&] { return p.probe->data == "more" && done; });
  reader.join();
  ASSERT_TRUE(resumed);
  EXPECT_TRUE(received == reply);
  EXPECT_EQ(p.channel->queuedBytes(), 0u);
  EXPECT_TRUE(log_.texts(LOG_WARN).empty());
}

TEST_F(DispatcherTest, APeerThatStaysBehindTheSendLimitIsDroppedWithOneWarning) {
  ManualClock clock;
  ChannelDispatcher d(clock);
  Pair p = connect(d);
  Pair below = connect(d, 2);
  ASSERT_EQ(platform::socketSetOption(p.channel->handle(), platform::kSendBuffer, 65536), 0);
  ASSERT_EQ(platform::socketSetOption(p.peer->handle(), platform::kReceiveBuffer, 65536), 0);
  const std::string reply = patternText(ClientChannel::kSendQueueLimit + (4 << 20));
  p.channel->send(new CopyBuffer(reply.data(), reply.size()));
  below.channel->send(new CopyBuffer(reply.data(), 65536));
  d.process();
  clock.now += ClientChannel::kSendStallLimitMs;
  d.process();
  EXPECT_FALSE(p.probe->destroyed);  // not yet more than the limit
  clock.now += 20;
  ASSERT_TRUE(runUntil(d, [&] { return p.probe->destroyed; }));
  EXPECT_FALSE(below.probe->destroyed);
  const std::vector<std::string> warnings = log_.texts(LOG_WARN);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("bytes not taken by the peer for 60 s"), std::string::npos)
      << warnings[0];
}

TEST_F(DispatcherTest, ClosingWithNothingQueuedShutsDownInTheSameStep) {
  ChannelDispatcher d;
  Pair p = connect(d);
  p.channel->close();
  ASSERT_TRUE(d.process());
  ASSERT_FALSE(p.probe->destroyed);
  EXPECT_EQ(p.channel->state(), ChannelState::HalfClosed);
  EXPECT_STREQ(channelStateText(p.channel->state()), "HalfClosed");
  // States only move forward.
  p.channel->close();
  p.channel->setState(ChannelState::Open);
  EXPECT_EQ(p.channel->state(), ChannelState::HalfClosed);

  // The peer sees the end of the stream, then closes its end: the channel goes away.
  ASSERT_TRUE(p.peer->waitReadable(5000));
  char buf[8];
  EXPECT_EQ(p.peer->recv(buf, sizeof buf), 0);
  p.peer->close();
  ASSERT_TRUE(runUntil(d, [&] { return p.probe->destroyed; }));
  EXPECT_EQ(p.probe->lastState, ChannelState::Closed);
  EXPECT_EQ(d.count(), 0u);
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, ClosingDrainsTheSendQueueBeforeShuttingDown) {
  ChannelDispatcher d;
  Pair p = connect(d);
  // Fixed socket buffers far smaller than the output, so that it cannot leave in one step.
  ASSERT_EQ(platform::socketSetOption(p.channel->handle(), platform::kSendBuffer, 65536), 0);
  ASSERT_EQ(platform::socketSetOption(p.peer->handle(), platform::kReceiveBuffer, 65536), 0);
  const std::string sent = patternText(4 << 20);
  for (size_t off = 0; off < sent.size(); off += 65536) {
    p.channel->send(new CopyBuffer(sent.data() + off, 65536));
  }
  p.channel->close();
  ASSERT_TRUE(d.process());
  EXPECT_EQ(p.channel->state(), ChannelState::Closing);

  std::string received;
  bool sawEnd = false;
  std::thread reader([&] {
    p.peer->setTimeout(20000);
    std::string buf(16384, '\0');
    for (;;) {
      int n = p.peer->recv(buf.data(), buf.size());
      if (n <= 0) break;
      received.append(buf.data(), static_cast<size_t>(n));
    }
    sawEnd = p.peer->waitReadable(0);  // readable with nothing left: the end of the stream
    p.peer->close();
  });
  const bool ended = runUntil(d, [&] { return p.probe->destroyed; });
  reader.join();
  ASSERT_TRUE(ended);
  EXPECT_TRUE(sawEnd);
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(p.probe->sent, sent.size());
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, APeerThatNeverClosesOrNeverReadsIsDroppedAfterTheCloseLimit) {
  ChannelDispatcher d(platform::systemClock(), 300);
  // Half-closed: the peer got the end of the stream but keeps its end open.
  Pair silent = connect(d, 1);
  silent.channel->close();
  // Closing: the peer does not read, so the output cannot drain.
  Pair stuck = connect(d, 2);
  ASSERT_EQ(platform::socketSetOption(stuck.channel->handle(), platform::kSendBuffer, 65536), 0);
  ASSERT_EQ(platform::socketSetOption(stuck.peer->handle(), platform::kReceiveBuffer, 65536), 0);
  const std::string big = patternText(4 << 20);
  stuck.channel->send(new CopyBuffer(big.data(), big.size()));
  stuck.channel->close();
  // An open channel is not touched by the limit.
  Pair open = connect(d, 3);

  ASSERT_TRUE(d.process());
  EXPECT_EQ(silent.channel->state(), ChannelState::HalfClosed);
  EXPECT_EQ(stuck.channel->state(), ChannelState::Closing);
  ASSERT_TRUE(runUntil(d, [&] { return silent.probe->destroyed && stuck.probe->destroyed; }));
  EXPECT_FALSE(open.probe->destroyed);
  EXPECT_EQ(d.count(), 1u);
  // The peer of the half-closed channel sees its connection end.
  ASSERT_TRUE(silent.peer->waitReadable(5000));
  char buf[8];
  EXPECT_EQ(silent.peer->recv(buf, sizeof buf), 0);
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, EmptyBuffersInTheSendQueueAreSkipped) {
  ChannelDispatcher d;
  Pair p = connect(d);
  p.channel->send(new CopyBuffer("", 0));
  p.channel->send(new CopyBuffer("ab", 2));
  p.channel->send(new CopyBuffer("", 0));
  p.channel->close();
  ASSERT_TRUE(runUntil(d, [&] { return p.channel->state() == ChannelState::HalfClosed; }));
  std::string got;
  char buf[8];
  p.peer->setTimeout(5000);
  for (int n; (n = p.peer->recv(buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(got, "ab");
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, ClosingLingersSoThatTheReplyIsReadBeforeTheConnectionEnds) {
  ManualClock clock;
  ChannelDispatcher d(clock);
  Pair p = connect(d);
  // Refused while the peer is still sending a large request: the reply must not be lost to a
  // reset caused by the unread rest.
  p.channel->send(new CopyBuffer("refused", 7));
  p.channel->close();
  const std::string upload = patternText(4 << 20);
  std::thread uploader([&] {
    try {
      p.peer->sendAll(upload.data(), upload.size());
    } catch (const SocketException&) {
    }
  });
  ASSERT_TRUE(runUntil(d, [&] { return p.channel->discardedBytes() == upload.size(); }));
  uploader.join();
  EXPECT_EQ(p.channel->state(), ChannelState::HalfClosed);
  char buf[16];
  p.peer->setTimeout(5000);
  ASSERT_EQ(p.peer->recv(buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf, 7), "refused");
  EXPECT_EQ(p.peer->recv(buf, sizeof buf), 0);  // then the orderly end, no reset
  EXPECT_TRUE(p.probe->data.empty());           // nothing after closing reached the channel

  // A peer that neither closes nor stops is let go once the linger time is over.
  clock.now += ClientChannel::kLingerMs + 1;
  ASSERT_TRUE(runUntil(d, [&] { return p.probe->destroyed; }));
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, APeerThatKeepsSendingAfterCloseIsCutOffAtTheDiscardLimit) {
  ChannelDispatcher d;
  Pair p = connect(d);
  p.channel->close();
  ASSERT_TRUE(d.process());
  ASSERT_EQ(p.channel->state(), ChannelState::HalfClosed);
  const std::string junk = patternText(1 << 20);
  std::thread sender([&] {
    try {
      for (size_t sent = 0; sent <= ClientChannel::kDiscardLimit; sent += junk.size()) {
        p.peer->sendAll(junk.data(), junk.size());
      }
    } catch (const SocketException&) {
      // cut off: what the test waits for
    }
  });
  const bool cut = runUntil(d, [&] { return p.probe->destroyed; });
  p.peer->close();
  sender.join();
  ASSERT_TRUE(cut);
  EXPECT_GE(p.probe->discardedAtEnd, ClientChannel::kDiscardLimit);
  EXPECT_TRUE(errors().empty());
}

TEST_F(DispatcherTest, PeerCloseAndResetEndTheChannelSilently) {
  ChannelDispatcher d;
  Pair closing = connect(d, 1);
  Pair resetting = connect(d, 2);
  Pair resettingWhileSending = connect(d, 3);
  ASSERT_EQ(platform::socketSetOption(resettingWhileSending.channel->handle(),
                                      platform::kSendBuffer, 4096),
            0);
  const std::string big = patternText(1 << 20);
  resettingWhileSending.channel->send(new CopyBuffer(big.data(), big.size()));

  closing.peer->sendAll("bye", 3);
  closing.peer->close();
  for (Pair* p : {&resetting, &resettingWhileSending}) {
    ASSERT_EQ(platform::socketSetOption(p->peer->handle(), platform::kLinger, 0), 0);
    p->peer->close();  // lingering 0 s: the connection is reset
  }
  ASSERT_TRUE(runUntil(d, [&] {
    return closing.probe->destroyed && resetting.probe->destroyed &&
           resettingWhileSending.probe->destroyed;
  }));
  EXPECT_EQ(closing.probe->data, "bye");
  EXPECT_EQ(d.count(), 0u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(DispatcherTest, AThrowingHandlerCostsOnlyItsOwnChannel) {
  ChannelDispatcher d;
  Pair plain = connect(d, 1);
  Pair detailed = connect(d, 2);
  Pair healthy = connect(d, 3);
  plain.probe->onDataHook = [] { throw std::runtime_error("plain failure"); };
  detailed.probe->onDataHook = [] { throw DetailedException("detailed failure"); };

  plain.peer->sendAll("x", 1);
  detailed.peer->sendAll("y", 1);
  ASSERT_TRUE(runUntil(d, [&] { return plain.probe->destroyed && detailed.probe->destroyed; }));
  std::vector<std::string> logged = errors();
  ASSERT_EQ(logged.size(), 2u);
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged[0].rfind("detailed failure\n\tat ", 0), 0u) << logged[0];
  EXPECT_EQ(logged[1], "plain failure");

  healthy.peer->sendAll("still here", 10);
  ASSERT_TRUE(runUntil(d, [&] { return healthy.probe->data == "still here"; }));
  EXPECT_FALSE(healthy.probe->destroyed);
  EXPECT_EQ(d.count(), 1u);
}

TEST_F(DispatcherTest, AnUnexpectedReceiveErrorIsLoggedWithItsContext) {
  // A stream socket that is listening cannot receive: readiness for a waiting connection
  // leads to a receive that fails.
  Probe probe;  // outlives the dispatcher's channel
  ChannelDispatcher d;
  Socket odd;
  odd.create(Socket::STREAM);
  odd.bind(kLoopback, 0);
  odd.listen(4);
  const uint16_t port = odd.localPort();
  const SocketHandle h = odd.handle();
  d.add(new TestChannel(odd.release(), &probe));
  Socket caller;
  caller.create(Socket::STREAM);
  caller.connect(kLoopback, port);
  ASSERT_TRUE(runUntil(d, [&] { return probe.destroyed; }));
  EXPECT_EQ(errors(), std::vector<std::string>{
                          format("recv(handle=%d,size=65536) Socket is not connected", h)});
}

TEST_F(DispatcherTest, OnReadReturningOneTakesTheChannelOutWithoutDestroyingIt) {
  ChannelDispatcher d;
  Pair p = connect(d);
  p.probe->detachOnRead = true;
  p.peer->sendAll("z", 1);
  ASSERT_TRUE(runUntil(d, [&] { return p.probe->reads > 0; }));
  EXPECT_FALSE(p.probe->destroyed);
  EXPECT_EQ(d.count(), 0u);
  EXPECT_FALSE(d.process());
  EXPECT_EQ(p.probe->reads, 1);
  // Its owner has it back and can hand it in again.
  p.probe->detachOnRead = false;
  d.add(p.channel);
  ASSERT_TRUE(runUntil(d, [&] { return p.probe->data == "z"; }));
}

TEST_F(DispatcherTest, AServerChannelAcceptsAndRegistersConnections) {
  std::vector<std::unique_ptr<Probe>> accepted;  // outlives the dispatcher's channels
  ChannelDispatcher d;
  auto* listener = new TestListener(&accepted);
  d.add(listener);

  Socket client;
  client.create(Socket::STREAM);
  client.connect(kLoopback, listener->port);
  ASSERT_TRUE(runUntil(d, [&] { return accepted.size() == 1; }));
  EXPECT_EQ(d.count(), 2u);

  client.sendAll("hello", 5);
  ASSERT_TRUE(runUntil(d, [&] { return accepted[0]->data == "hello"; }));

  // Answer through the send queue; the whole reply is reported sent.
  TestChannel* server = nullptr;
  d.forEach([&](Channel& c) {
    if (c.handle() != listener->handle()) server = static_cast<TestChannel*>(&c);
  });
  ASSERT_NE(server, nullptr);
  server->send(new CopyBuffer("world", 5));
  ASSERT_TRUE(runUntil(d, [&] { return accepted[0]->sent == 5; }));
  char buf[8];
  client.setTimeout(5000);
  ASSERT_EQ(client.recv(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "world");

  listener->close();
  ASSERT_TRUE(runUntil(d, [&] { return d.count() == 1; }));
  EXPECT_TRUE(errors().empty());
}

// Lowers the process's descriptor limit to the lowest free descriptor (so that no new one can
// be had) and puts it back when it goes.
class NoFreeDescriptors {
 public:
  NoFreeDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest = ::dup(0);
    ::close(lowest);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest);
    ok_ = lowest > 0 && ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~NoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

TEST_F(DispatcherTest, AListenerOutOfDescriptorsRefusesTheClientAndKeepsListening) {
#ifdef AM_SANITIZED
  GTEST_SKIP() << "the sanitizers' own checks need free descriptors";
#endif
  std::vector<std::unique_ptr<Probe>> accepted;
  ChannelDispatcher d;
  auto* listener = new TestListener(&accepted);
  d.add(listener);
  // The callers' sockets exist before the limit comes down; connecting needs no descriptor.
  Socket refused, later;
  refused.create(Socket::STREAM);
  later.create(Socket::STREAM);
  {
    NoFreeDescriptors exhausted;
    ASSERT_TRUE(exhausted.ok());
    refused.connect(kLoopback, listener->port);
    ASSERT_TRUE(runUntil(d, [&] { return listener->refusedForLackOfResources() > 0; }));
    // Taken and closed at once: the caller learns it straight away.
    refused.setTimeout(5000);
    char buf[4];
    EXPECT_LE(refused.recv(buf, sizeof buf), 0);
    EXPECT_TRUE(accepted.empty());
    EXPECT_EQ(d.count(), 1u);  // the listener is still there
  }
  // Descriptors to be had again: the next caller is served as usual.
  later.connect(kLoopback, listener->port);
  ASSERT_TRUE(runUntil(d, [&] { return accepted.size() == 1; }));
  EXPECT_EQ(d.count(), 2u);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_NE(errors()[0].find("accept(handle="), std::string::npos) << errors()[0];
  EXPECT_NE(errors()[0].find("connection refused"), std::string::npos) << errors()[0];
}

TEST_F(DispatcherTest, ChannelsClosedFromAnotherHandlerAreSettledBeforeTheNextWait) {
  ChannelDispatcher d;
  std::vector<Pair> pairs;
  for (int i = 0; i < 3; ++i) pairs.push_back(connect(d, i));
  std::vector<size_t> seen;
  // The idle handler of channel 1 closes every channel, also one already dealt with.
  pairs[1].probe->onIdleHook = [&] {
    seen.push_back(d.count());
    d.forEach([](Channel& c) { c.close(); });
  };
  ASSERT_TRUE(d.process());
  EXPECT_EQ(seen, std::vector<size_t>{3});
  EXPECT_EQ(pairs[0].channel->state(), ChannelState::Closing);
  EXPECT_EQ(pairs[1].channel->state(), ChannelState::HalfClosed);
  EXPECT_EQ(pairs[2].channel->state(), ChannelState::HalfClosed);
  // The one closed after its turn is shut down at the start of the next step.
  pairs[1].probe->onIdleHook = nullptr;
  ASSERT_TRUE(d.process());
  EXPECT_EQ(pairs[0].channel->state(), ChannelState::HalfClosed);
}

TEST_F(DispatcherTest, AListenerAcceptsAWholeBatchInOneStep) {
  std::vector<std::unique_ptr<Probe>> accepted;
  ChannelDispatcher d;
  auto* listener = new TestListener(&accepted);
  d.add(listener);
  std::vector<Socket> clients(300);
  for (Socket& c : clients) {
    c.create(Socket::STREAM);
    c.connect(kLoopback, listener->port);  // completed by the kernel before any accept
  }
  ASSERT_TRUE(d.process());
  EXPECT_EQ(accepted.size(), ServerChannel::kAcceptBatch);
  ASSERT_TRUE(d.process());
  EXPECT_EQ(accepted.size(), clients.size());
  EXPECT_EQ(d.count(), clients.size() + 1);
}

TEST_F(DispatcherTest, RemainingChannelsDieWithTheDispatcher) {
  std::vector<Pair> pairs;
  {
    ChannelDispatcher d;
    for (int i = 0; i < 3; ++i) pairs.push_back(connect(d, i));
    d.process();
  }
  for (const Pair& p : pairs) EXPECT_TRUE(p.probe->destroyed);
}

}  // namespace
}  // namespace adt
