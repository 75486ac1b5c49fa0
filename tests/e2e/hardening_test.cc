// A local attacker against the real am: datagrams from another user's socket, password
// guessing, name probing through salts, and a huge agent name.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "adt/socket.h"
#include "adt/text.h"
#include "agents/amp.h"
#include "am_home.h"
#include "amclient/amclient.h"

namespace {

using namespace std::chrono_literals;
namespace amp = agents::amp;

// Sends `datagram` to 127.0.0.1:port from a child process running as the user nobody and
// waits up to `waitMs` for an answer; the exit status tells: 0 no answer, 1 answered,
// 2 could not drop to nobody or send.
int sendAsNobody(uint16_t port, const adt::Bytes& datagram, int waitMs) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (fd < 0 || ::sendto(fd, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
      ::_exit(2);
    }
    pollfd p{fd, POLLIN, 0};
    ::_exit(::poll(&p, 1, waitMs) > 0 ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

// The child of `parent` that runs `program` (from /proc), or 0.
int childRunning(int parent, const std::string& program) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = testsupport::readFile(entry.path().string() + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent)
      continue;
    if (testsupport::readFile(entry.path().string() + "/cmdline").starts_with(program))
      return std::stoi(name);
  }
  return 0;
}

class Hardening : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  }
  void start(const std::string& sections = "") {
    home_.writeIni(sections);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
  }
  std::string log() const {
    const std::string raw = testsupport::readFile(home_.file("log/am.log"));
    return adt::fromCp1251(raw);
  }
  std::unique_ptr<amclient::Connection> connect() {
    auto c = std::make_unique<amclient::Connection>();
    c->open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(home_.clientPort));
    return c;
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  testsupport::Child* am_ = nullptr;
};

TEST_F(Hardening, AnotherUsersStopDatagramAndForgedStartReportAreRefused) {
  // An agent that never reports: its start report is what a forger would send.
  start("[agent]\nname=Quiet\nrun_at_least_once=1\ncmd=" AM_BUILD_DIR
        "/demo-agent --demo-no-report\n");
  int agentPid = 0;
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return (agentPid = childRunning(am_->pid(), AM_BUILD_DIR "/demo-agent")) != 0; }, 30s))
      << am_->output();
  const uint16_t port = static_cast<uint16_t>(home_.agentPort);

  const adt::Bytes stop = amp::encodeDatagram({amp::kSigstop, 0, 0, 0, 0}, adt::Bytes(4, 0));
  EXPECT_EQ(sendAsNobody(port, stop, 2000), 0);  // not even answered
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return log().find("запрос остановки AM с порта") != std::string::npos; }, 30s))
      << log();

  {
    adt::Bytes report(4);
    const uint32_t pid = static_cast<uint32_t>(agentPid);
    std::memcpy(report.data(), &pid, 4);
    const adt::Bytes forged = amp::encodeDatagram({amp::kStartReport, 0, 0, 0, 0}, report);
    EXPECT_EQ(sendAsNobody(port, forged, 2000), 0);  // no start acknowledgment
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return log().find("сообщение 1 с порта") != std::string::npos; }, 30s))
        << log();
    EXPECT_EQ(am_->output().find(") запущен"), std::string::npos) << am_->output();
  }
  // The manager still runs and answers.
  EXPECT_FALSE(am_->exited());
  EXPECT_TRUE(connect()->login("", "").ok);
  ::kill(agentPid, SIGKILL);
}

TEST_F(Hardening, GuessingWaitsLongerAfterEveryFailureAndEveryFailureIsLogged) {
  start("[user]\nname=admin\nrole=admin\n");
  auto c = connect();
  constexpr int kAttempts = 20;
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kAttempts; ++i) {
    const amclient::LoginResult r = c->login("admin", "guess" + std::to_string(i));
    ASSERT_FALSE(r.ok);
  }
  const auto spent = std::chrono::steady_clock::now() - began;
  // The waits after failures 1..20: 100 ms, 200 ms, ... 2000 ms.
  EXPECT_GE(spent, 21000ms);
  const std::string text = log();
  size_t failures = 0;
  for (size_t at = text.find("Неудачный вход: пользователь \"admin\", адрес 127.0.0.1");
       at != std::string::npos;
       at = text.find("Неудачный вход: пользователь \"admin\", адрес 127.0.0.1", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, static_cast<size_t>(kAttempts));
  EXPECT_EQ(text.find("guess1"), std::string::npos);  // never the password
}

TEST_F(Hardening, SaltsOfKnownAndUnknownNamesLookAlike) {
  start("[user]\nname=admin\nrole=admin\n");
  // admin has a stored password; ghost has nothing at all.
  {
    auto c = connect();
    ASSERT_TRUE(c->login("admin", "").ok);
    const amclient::Salt s = {'5', 'A', '1', '7', 'C', '0', 'D', 'E'};
    const amclient::Digest h = amclient::passwordHash("admin", s, "secret");
    c->sendCommand(65, {},
                   {amclient::Element::text(20, "admin"), amclient::Element::bytes(21, h.data(), h.size()),
                    amclient::Element::bytes(22, s.data(), s.size())});
    c->readUntilClosed();
  }
  auto saltOf = [&](const std::string& name) {
    auto c = connect();
    const amclient::LoginResult r = c->login(name, "wrong");
    return std::string(r.salt.begin(), r.salt.end());
  };
  const std::string known = saltOf("admin");
  const std::string unknown = saltOf("ghost");
  for (const std::string& s : {known, unknown}) {
    EXPECT_EQ(s.size(), 8u);
    EXPECT_EQ(s.find_first_not_of("0123456789ABCDEF"), std::string::npos) << s;
  }
  // Both stay the same from one login to the next.
  EXPECT_EQ(saltOf("admin"), known);
  EXPECT_EQ(saltOf("ghost"), unknown);
  EXPECT_EQ(known, "5A17C0DE");
  EXPECT_NE(unknown, known);
}

TEST_F(Hardening, AHugeAgentNameYieldsABoundedLogLine) {
  start();
  auto c = connect();
  const std::string name(1 << 20, 'N');
  c->sendCommand(14, amclient::Element::text(0, name).value);
  c->readUntilClosed();
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return log().find("Неизвестное имя агента") != std::string::npos; }, 30s));
  const std::string text = log();
  EXPECT_EQ(text.find(std::string(300, 'N')), std::string::npos);
  EXPECT_LT(text.size(), 64u * 1024u);
}

}  // namespace
