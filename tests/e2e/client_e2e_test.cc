// A client of the binary protocol against the real am: greeting, login as the default
// administrator, a refused password, the manager's statistics after it, and the password file.
#include <gtest/gtest.h>

#include "am_home.h"
#include "adt/tagged_writer.h"
#include "amclient/amclient.h"

namespace {

using namespace std::chrono_literals;

class ClientE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    port_ = home_.clientPort;
    home_.writeIni("");
    am_ = &home_.launchConsole();
    ASSERT_TRUE(am_->waitForOutput("\n> ", 30s)) << am_->output();
  }
  void TearDown() override {
    if (!am_) return;
    EXPECT_TRUE(home_.stop()) << am_->output();
    EXPECT_EQ(am_->exitCode(), 0);
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  int port_ = 0;
  testsupport::Child* am_ = nullptr;
};

TEST_F(ClientE2E, DefaultAdministratorLogsInWithTheEmptyPassword) {
  amclient::Connection c;
  const auto greeting = c.open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(port_));
  EXPECT_EQ(greeting.version, 10);
  const auto login = c.login("", "");
  EXPECT_TRUE(login.ok) << login.failureText;
  EXPECT_EQ(login.version[0], 5);
  EXPECT_EQ(login.version[1], 2);
  EXPECT_EQ(login.version[2], 430);
  EXPECT_TRUE(am_->waitForOutput("no admin-user configured, using default", 10s));
}

TEST_F(ClientE2E, WrongPasswordFailsAndTheServerGoesOn) {
  {
    amclient::Connection c;
    c.open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(port_));
    EXPECT_FALSE(c.login("", "guess").ok);
  }
  // Still serving: the manager's own statistics, one sample every 5 s from the start.
  amclient::Connection c;
  c.open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(port_));
  ASSERT_TRUE(c.login("", "").ok);
  adt::MemoryTaggedWriter window;
  const double from = 0, to = 1e7;
  window.writeTag(1, &from, sizeof from);
  window.writeTag(2, &to, sizeof to);
  c.sendCommand(95, {}, {amclient::Element(202, window.toBytes())});
  const auto reply = c.readUntilClosed();
  ASSERT_FALSE(reply.failed) << reply.errorText;
  ASSERT_NE(reply.find(1), nullptr);
  ASSERT_NE(reply.find(22), nullptr);
  const int32_t percent = reply.find(22)->asInt();
  EXPECT_GT(percent, 0);
  EXPECT_LE(percent, 100);
  ASSERT_NE(reply.find(21), nullptr);
  EXPECT_EQ(reply.find(21)->value.size(), 8u);
}

TEST_F(ClientE2E, GarbageEndsOnlyThatConnection) {
  amclient::Connection bad;
  bad.open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(port_));
  std::string junk(70000, '\xFF');
  bad.sendRaw(junk.data(), junk.size());
  EXPECT_TRUE(bad.waitClosed());

  amclient::Connection good;
  good.open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(port_));
  EXPECT_TRUE(good.login("", "").ok);
}

}  // namespace
