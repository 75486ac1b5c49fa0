// The manager under the loads that used to lock clients out, against the real am: many idle
// connections, a flood of bad datagrams on the agent port while an agent starts, and a refused
// upload whose client is still sending when the refusal comes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adt/socket.h"
#include "am_home.h"
#include "amclient/amclient.h"
#include "data.h"

namespace {

using namespace std::chrono_literals;
using amclient::Element;
using testsupport::Child;

const uint32_t kLocal = platform::hostToNet32(0x7F000001);

class LoadE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.ready()); }
  void start(const std::string& sections) {
    home_.writeIni(sections);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
  }
  void TearDown() override {
    if (!am_) return;
    EXPECT_TRUE(home_.stop()) << am_->output();
  }
  // The agents list as a client that has not logged in gets it.
  amclient::Reply agentsList(uint32_t timeoutMs) {
    amclient::Connection c(timeoutMs);
    c.open(kLocal, static_cast<uint16_t>(home_.clientPort));
    c.sendCommand(32, {});
    return c.readUntilClosed();
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  Child* am_ = nullptr;
};

// Raises this process's descriptor limit for the test and puts it back.
class MoreDescriptors {
 public:
  explicit MoreDescriptors(rlim_t wanted) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit raised = saved_;
    raised.rlim_cur = std::min<rlim_t>(saved_.rlim_max, std::max(saved_.rlim_cur, wanted));
    ok_ = ::setrlimit(RLIMIT_NOFILE, &raised) == 0 && raised.rlim_cur >= wanted;
  }
  ~MoreDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

TEST_F(LoadE2E, AThousandIdleConnectionsDoNotKeepOthersWaiting) {
  MoreDescriptors limit(1400);
  if (!limit.ok()) GTEST_SKIP() << "the hard descriptor limit is below 1400";
  start("[agent]\nname=Listed\ncmd=/bin/true\n");
  ASSERT_TRUE(am_->waitForOutput("descriptor limit: ", 10s)) << am_->output();

  std::vector<std::unique_ptr<adt::Socket>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<adt::Socket>());
    idle.back()->create(adt::Socket::STREAM);
    idle.back()->connect(kLocal, static_cast<uint16_t>(home_.clientPort));
  }
  // Every idle one got its greeting: all were accepted.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        for (auto& s : idle) {
          if (!s->waitReadable(0)) return false;
        }
        return true;
      },
      30s));
  // Answered at once rather than after the idle ones' turns (bound generous for a busy host).
  for (int i = 0; i < 3; ++i) {
    const auto started = std::chrono::steady_clock::now();
    const amclient::Reply reply = agentsList(10000);
    EXPECT_FALSE(reply.failed) << reply.errorText;
    EXPECT_NE(reply.find(52), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  }
}

TEST_F(LoadE2E, AnAgentStartsWhileBadDatagramsKeepArriving) {
  start("[agent]\nname=Flooded\ncmd=" AM_BUILD_DIR "/demo-agent\n");
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> sent{0};
  std::thread flood([&] {
    adt::Socket s;
    s.create(adt::Socket::DATAGRAM);
    const std::string junk = testsupport::patternText(28);
    const adt::SocketAddress to{kLocal, static_cast<uint16_t>(home_.agentPort)};
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!stop && sent < 50000000 && std::chrono::steady_clock::now() < deadline) {
      try {
        s.sendTo(junk.data(), junk.size(), to);
        ++sent;
      } catch (const adt::SocketException&) {
        // a full buffer now and then: go on
      }
    }
  });
  ASSERT_TRUE(testsupport::waitUntil([&] { return sent > 10000; }, 30s));
  const auto connect = testsupport::run(
      {AM_BUILD_DIR "/amctl", "--port", std::to_string(home_.clientPort), "connect", "Flooded"}, "",
      90s);
  const uint64_t duringStart = sent;
  stop = true;
  flood.join();
  EXPECT_EQ(connect.exitCode, 0) << connect.output << am_->output();
  EXPECT_NE(am_->output().find("...агент \"Flooded\" (pid:"), std::string::npos) << am_->output();
  EXPECT_GT(duringStart, 10000u);
}

TEST_F(LoadE2E, ARefusedUploadStillSendingGetsItsErrorReply) {
  start("[user]\nname=viewer\npermissions=ro\n");
  amclient::Connection c(60000);
  c.connect(kLocal, static_cast<uint16_t>(home_.clientPort));
  c.readGreeting();
  c.sendHandshake();
  ASSERT_TRUE(c.login("viewer", "").ok);
  // The refusal comes with the command; two megabytes of the file follow it in the same write.
  const std::string content = testsupport::patternText(2 << 20);
  c.sendCommand(113, Element::text(0, "agent/dorvi-5.2.7-windows-x86_64.zip").value,
                {Element::bytes(1, content.data(), content.size()), Element(9, {})});
  const amclient::Reply reply = c.readUntilClosed();
  ASSERT_TRUE(reply.failed);
  EXPECT_EQ(reply.errorCode, 0x1002);
  EXPECT_FALSE(reply.errorText.empty());
}

}  // namespace
