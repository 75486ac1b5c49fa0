// Applying an update of the manager itself (request 114, command 4) with the real am: the files
// are installed, and then the answer tells the truth about the restart. Under a service
// manager the restart command is launched and the request succeeds; in console mode nothing
// can restart the manager, and the client is told so instead of a success.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "adt/text.h"
#include "amclient/amclient.h"
#include "child.h"
#include "platform/net.h"
#include "zip_writer.h"

namespace {

using namespace std::chrono_literals;
using amclient::Element;
using testsupport::Child;

class ManagerUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testsupport::run({"/bin/cp", AM_BUILD_DIR "/am", dir_.file("am")}).exitCode, 0);
    clientPort_ = testsupport::freePort();
    testsupport::writeFile(dir_.file("am.ini"),
                           "[common]\nclient_port=" + std::to_string(clientPort_) +
                               "\nagent_port=" + std::to_string(testsupport::freePort()) + "\n");
    ASSERT_EQ(testsupport::run({"/bin/mkdir", "-p", dir_.file("updates/am")}).exitCode, 0);
    testsupport::writeFile(
        dir_.file("updates/am/dorvi-5.2.500.zip"),
        testsupport::zipArchive({{".updateinfo", "updater=5.2.400\nextract=readme.txt\n"},
                                 {"readme.txt", "new readme"}}));
  }
  void TearDown() override {
    if (am_ && !am_->exited()) {
      am_->kill(SIGTERM);
      am_->waitExit(60s);
    }
  }
  bool waitForLog(const std::string& utf8, std::chrono::milliseconds limit = 60s) {
    return testsupport::waitUntil(
        [&] {
          return testsupport::readFile(dir_.file("log/am.log")).find(adt::toCp1251(utf8)) !=
                 std::string::npos;
        },
        limit);
  }
  amclient::Reply apply() {
    amclient::Connection c(60000);
    c.connect(platform::hostToNet32(0x7F000001), static_cast<uint16_t>(clientPort_));
    c.readGreeting();
    c.sendHandshake();
    EXPECT_TRUE(c.login("", "").ok);
    c.sendCommand(114, Element::text(0, "am/dorvi-5.2.500.zip").value,
                  {Element::integer(1, 4), Element(9, {})});
    return c.readUntilClosed();
  }

  testsupport::TempDir dir_;
  int clientPort_ = 0;
  std::unique_ptr<Child> am_;
};

TEST_F(ManagerUpdate, UnderAServiceManagerTheRestartIsLaunchedAndTheUpdateSucceeds) {
  // Started as the unit starts it: no arguments, a notification socket in the environment.
  am_ = std::make_unique<Child>(std::vector<std::string>{dir_.file("am")}, dir_.path(),
                                std::vector<std::string>{"NOTIFY_SOCKET=" + dir_.file("notify")});
  ASSERT_TRUE(waitForLog("started #####"));
  const amclient::Reply reply = apply();
  EXPECT_FALSE(reply.failed) << reply.errorText;
  EXPECT_EQ(testsupport::readFile(dir_.file("readme.txt")), "new readme");
  // The restart command: it stops and starts the service (here no systemd answers it).
  EXPECT_TRUE(waitForLog("перезапуск AM: " + dir_.file("am") + " --log ")) << am_->output();
  EXPECT_TRUE(waitForLog(" restart (pid ")) << am_->output();
}

TEST_F(ManagerUpdate, InConsoleModeTheClientLearnsThatNoRestartHappened) {
  am_ = std::make_unique<Child>(std::vector<std::string>{dir_.file("am"), "--console"});
  ASSERT_TRUE(am_->waitForOutput("\n> ", 30s)) << am_->output();
  const amclient::Reply reply = apply();
  EXPECT_TRUE(reply.failed);
  EXPECT_NE(reply.errorText.find("установлено, но менеджер не перезапущен: менеджер запущен не "
                                 "как служба"),
            std::string::npos)
      << reply.errorText;
  EXPECT_EQ(testsupport::readFile(dir_.file("readme.txt")), "new readme");
}

}  // namespace
