// Service mode with real processes: build/am started the way a service manager starts it, with
// a notification socket that the test owns. The notifications arrive in order (starting,
// ready, watchdog pings from the main loop, stopping, stopped) and a stop signal ends the run
// with exit code 0; --daemon runs the same main in the foreground without any socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "adt/text.h"
#include "am_home.h"

namespace {

using namespace std::chrono_literals;

// A datagram socket bound to a path, as a service manager listens.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  // Waits for messages until `done` holds for the list so far or the time runs out.
  bool collect(std::vector<std::string>& out, const std::function<bool()>& done,
               std::chrono::milliseconds limit) {
    return testsupport::waitUntil(
        [&] {
          pollfd p{fd_, POLLIN, 0};
          while (::poll(&p, 1, 0) > 0) {
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            out.emplace_back(buffer, static_cast<size_t>(n));
          }
          return done();
        },
        limit);
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

size_t count(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<size_t>(std::count(v.begin(), v.end(), s));
}

TEST(ServiceMode, NotifiesStartReadyWatchdogStoppingStoppedInOrder) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  home.writeIni("");
  NotifySocket socket(home.file("notify"));
  ASSERT_TRUE(socket.bound());
  // No arguments: what the unit's ExecStart runs. Pings are due every 100 ms.
  testsupport::Child am({home.exe()}, home.path(),
                        {"NOTIFY_SOCKET=" + home.file("notify"), "WATCHDOG_USEC=200000"});
  std::vector<std::string> got;
  ASSERT_TRUE(socket.collect(
      got, [&] { return count(got, "WATCHDOG=1") >= 5; }, 60s))
      << am.output();
  am.kill(SIGTERM);
  ASSERT_TRUE(socket.collect(
      got, [&] { return count(got, "STATUS=остановлена") == 1; }, 90s))
      << am.output();
  ASSERT_TRUE(am.waitExit(30s));
  EXPECT_EQ(am.exitCode(), 0) << am.output();

  std::vector<std::string> order;  // the messages without the pings
  for (const std::string& m : got) {
    if (m != "WATCHDOG=1") order.push_back(m);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"STATUS=запуск", "READY=1\nSTATUS=работает",
                                             "STOPPING=1\nSTATUS=остановка: сигнал SIGTERM",
                                             "STATUS=остановлена"}));
  // Pings only while running: after READY and before STOPPING.
  const auto ready = std::find(got.begin(), got.end(), "READY=1\nSTATUS=работает");
  const auto first = std::find(got.begin(), got.end(), "WATCHDOG=1");
  EXPECT_LT(ready - got.begin(), first - got.begin());
  // The log on disk is in Windows-1251.
  const std::string log = testsupport::readFile(home.file("log/am.log"));
  EXPECT_NE(log.find(adt::toCp1251("Остановка AM, причина: сигнал SIGTERM")), std::string::npos);
}

TEST(ServiceMode, StartUpFailureIsReportedToTheServiceManager) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  home.writeIni("");
  // The client port is taken: start-up fails.
  testsupport::AmHome other(AM_BUILD_DIR "/am");
  other.clientPort = home.clientPort;
  other.writeIni("");
  ASSERT_TRUE(other.startConsole()) << other.console().output();
  NotifySocket socket(home.file("notify"));
  ASSERT_TRUE(socket.bound());
  testsupport::Child am({home.exe()}, home.path(), {"NOTIFY_SOCKET=" + home.file("notify")});
  ASSERT_TRUE(am.waitExit(60s));
  EXPECT_EQ(am.exitCode(), 1);
  std::vector<std::string> got;
  socket.collect(
      got, [&] { return got.size() >= 2; }, 10s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "STATUS=запуск");
  EXPECT_EQ(got[1].rfind("STATUS=ошибка запуска: ", 0), 0u) << got[1];
  EXPECT_EQ(count(got, "READY=1\nSTATUS=работает"), 0u);
}

TEST(ServiceMode, DaemonRunsInTheForegroundAndStopsOnCtrlC) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  home.writeIni("");
  testsupport::Child am({"/usr/bin/env", "-u", "NOTIFY_SOCKET", home.exe(), "--daemon"},
                        home.path());
  const std::string logFile = home.file("log/am.log");
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return testsupport::readFile(logFile).find("started #####") != std::string::npos; },
      60s))
      << am.output();
  am.kill(SIGINT);
  ASSERT_TRUE(am.waitExit(60s));
  EXPECT_EQ(am.exitCode(), 0) << am.output();
  EXPECT_NE(
      testsupport::readFile(logFile).find(adt::toCp1251("Остановка AM, причина: сигнал SIGINT")),
      std::string::npos);
}

}  // namespace
