// Who owns a UDP socket: the lookups behind the agent link's trust, against real sockets.
#include "platform/socket_owner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "agents/amp.h"
#include "agents/link_trust.h"
#include "platform/process.h"

namespace platform {
namespace {

// A UDP socket bound to 127.0.0.1 on a free port.
struct Udp {
  explicit Udp(bool reuse = false, uint16_t wanted = 0) {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(wanted);
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    this->port = ntohs(a.sin_port);
  }
  ~Udp() { ::close(fd); }
  int fd = -1;
  bool bound = false;
  uint16_t port = 0;
};

TEST(SocketOwner, ASocketIsFoundWithItsOwnerAndAmongItsProcessDescriptors) {
  Udp s;
  ASSERT_TRUE(s.bound);
  const std::vector<UdpSocketInfo> found = udpSocketsOnPort(s.port);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].uid, effectiveUserId());
  const std::vector<uint64_t> mine = processSocketInodes(static_cast<uint32_t>(::getpid()));
  EXPECT_NE(std::find(mine.begin(), mine.end(), found[0].inode), mine.end());
  EXPECT_TRUE(processOwnsUdpPort(static_cast<uint32_t>(::getpid()), s.port));
  // Another process does not hold it, and a closed port has no owner at all.
  EXPECT_FALSE(processOwnsUdpPort(static_cast<uint32_t>(::getppid()), s.port));
}

TEST(SocketOwner, APortSharedWithAnotherProcessBelongsToNeither) {
  Udp s(true);
  ASSERT_TRUE(s.bound);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Another process binds the same port (address reuse) and holds only that socket.
    ::close(s.fd);
    Udp twin(true, s.port);
    const char c = twin.bound ? '1' : '0';
    (void)!::write(ready[1], &c, 1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(c, '1');
  EXPECT_EQ(udpSocketsOnPort(s.port).size(), 2u);
  EXPECT_FALSE(processOwnsUdpPort(static_cast<uint32_t>(::getpid()), s.port));
  EXPECT_FALSE(processOwnsUdpPort(static_cast<uint32_t>(child), s.port));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(SocketOwner, TheKernelsDiagnosticsFindIPv4AndDualStackSocketsByPort) {
  Udp s;
  ASSERT_TRUE(s.bound);
  std::vector<UdpSocketInfo> v4;
  ASSERT_TRUE(udpSocketsFromDiagnostics(s.port, false, v4));
  ASSERT_EQ(v4.size(), 1u);
  EXPECT_EQ(v4[0].uid, effectiveUserId());
  const std::vector<uint64_t> mine = processSocketInodes(static_cast<uint32_t>(::getpid()));
  EXPECT_NE(std::find(mine.begin(), mine.end(), v4[0].inode), mine.end());

  // A dual-stack socket on :: can send as 127.0.0.1 too; one on ::1 cannot.
  for (const bool any : {true, false}) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = any ? in6addr_any : in6addr_loopback;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      GTEST_SKIP() << "no IPv6 here";
    }
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    std::vector<UdpSocketInfo> v6;
    EXPECT_TRUE(udpSocketsFromDiagnostics(ntohs(a.sin6_port), true, v6));
    EXPECT_EQ(v6.size(), any ? 1u : 0u) << (any ? "::" : "::1");
    EXPECT_EQ(udpSocketsOnPort(ntohs(a.sin6_port)).size(), any ? 1u : 0u);
    ::close(fd);
  }
}

TEST(SocketOwner, TableLinesAreReadByPortAndByAnAddressThatCanSendAsLoopback) {
  const std::string v4 =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode ref pointer drops\n"
      "  1: 0100007F:1389 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000  0 "
      "4242 2 0000000000000000 0\n"
      "  2: 00000000:1389 00000000:0000 07 00000000:00000000 00:00000000 00000000     0  0 "
      "4343 2 0000000000000000 0\n"
      "  3: 0200000A:1389 00000000:0000 07 00000000:00000000 00:00000000 00000000    33  0 "
      "4444 2 0000000000000000 0\n"
      "  4: 0100007F:138A 00000000:0000 07 00000000:00000000 00:00000000 00000000    34  0 "
      "4545 2 0000000000000000 0\n";
  const std::vector<UdpSocketInfo> found = parseUdpTable(v4, 0x1389, false);
  ASSERT_EQ(found.size(), 2u);  // not the one on 10.0.0.2, not the other port
  EXPECT_EQ(found[0].inode, 4242u);
  EXPECT_EQ(found[0].uid, 1000u);
  EXPECT_EQ(found[1].inode, 4343u);
  EXPECT_EQ(found[1].uid, 0u);
}

TEST(LinkTrust, SendersOfOtherProcessesAndClosedPortsAreRefused) {
  agents::LinkTrust trust;
  Udp s;
  ASSERT_TRUE(s.bound);
  EXPECT_TRUE(trust.stopRequestTrusted(s.port, 1000));  // this test's own user
  EXPECT_TRUE(trust.fromProcess(static_cast<uint32_t>(::getpid()), s.port, 12, 1000));
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(trust.fromProcess(static_cast<uint32_t>(::getppid()), s.port, 12, 1000));
  }
  // A port nobody holds any more is trusted by nobody.
  Udp gone;
  const uint16_t closed = gone.port;
  ::close(gone.fd);
  gone.fd = -1;
  EXPECT_FALSE(trust.stopRequestTrusted(closed, 1000));
  EXPECT_EQ(trust.refusals(), 51u);
}

TEST(LinkTrust, AGoodSenderIsLookedAtAgainAfterAWhileAndAtEveryStartReport) {
  agents::LinkTrust trust;
  const uint32_t self = static_cast<uint32_t>(::getpid());
  Udp s;
  ASSERT_TRUE(s.bound);
  const uint16_t port = s.port;
  EXPECT_TRUE(trust.fromProcess(self, port, 12, 1000));
  ::close(s.fd);
  s.fd = -1;
  // Telemetry within the window is not looked at again; a start report always is.
  EXPECT_TRUE(trust.fromProcess(self, port, 12, 1000 + agents::LinkTrust::kRecheckMs - 1));
  EXPECT_FALSE(trust.fromProcess(self, port, agents::amp::kStartReport, 1001));
  // Found bad once: no longer remembered as good.
  EXPECT_FALSE(trust.fromProcess(self, port, 12, 1002));
  Udp again;
  ASSERT_TRUE(again.bound);
  EXPECT_TRUE(trust.fromProcess(self, again.port, 12, 2000));
  ::close(again.fd);
  again.fd = -1;
  EXPECT_FALSE(trust.fromProcess(self, again.port, 12, 2000 + agents::LinkTrust::kRecheckMs));
}

}  // namespace
}  // namespace platform
