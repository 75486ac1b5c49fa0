#include "adt/socket.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "adt/exception.h"
#include "adt/log.h"
#include "data.h"
#include "log_recorder.h"
#include "platform/net.h"

namespace adt {
namespace {

const uint32_t kLoopback = platform::hostToNet32(0x7F000001);

using testsupport::LogRecorder;
using testsupport::patternText;

// Every reading moves time on by `step` milliseconds: each timed stretch of work looks slow.
class SteppingClock final : public platform::Clock {
 public:
  explicit SteppingClock(uint64_t step) : step_(step) {}
  uint64_t nowMs() override {
    const uint64_t t = now_;
    now_ += step_;
    return t;
  }
  platform::LocalTime localNow() override { return {}; }

 private:
  uint64_t now_ = 1000000;
  uint64_t step_;
};

// A listening stream socket on a port the system chose.
struct Listener {
  Socket socket;
  uint16_t port;
  Listener() {
    socket.create(Socket::STREAM);
    socket.bind(kLoopback, 0);
    socket.listen(Socket::maxBacklog());
    port = socket.localPort();
  }
};

// A datagram socket bound to loopback with room for everything a test sends it.
struct DatagramSink {
  Socket socket;
  uint16_t port;
  DatagramSink() {
    socket.create(Socket::DATAGRAM);
    EXPECT_EQ(platform::socketSetOption(socket.handle(), platform::kReceiveBuffer, 1 << 20), 0);
    socket.bind(kLoopback, 0);
    port = socket.localPort();
  }
  // Makes `sender` a datagram socket whose every send comes here.
  void connect(Socket& sender) const {
    sender.create(Socket::DATAGRAM);
    sender.connect(kLoopback, port);
  }
  // The datagrams that arrive until none comes for a while.
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    std::string buffer(65536, '\0');
    while (socket.waitReadable(out.empty() ? 5000 : 500)) {
      int n = socket.recvFrom(buffer.data(), buffer.size(), nullptr);
      out.emplace_back(buffer.data(), static_cast<size_t>(n));
    }
    return out;
  }
};

uint16_t closedPort() {
  Socket s;
  s.create(Socket::STREAM);
  s.bind(kLoopback, 0);
  return s.localPort();  // released again when s closes
}

TEST(SocketAddress, TextFormShowsFamilyAddressAsNumberAndPort) {
  EXPECT_EQ((SocketAddress{kLoopback, 5001}).text(), "{family:2,addr:16777343,port:5001}");
  EXPECT_EQ((SocketAddress{platform::hostToNet32(0xC0A80001), 65535}).text(),
            "{family:2,addr:16820416,port:65535}");
  EXPECT_EQ(SocketAddress{}.text(), "{family:2,addr:0,port:0}");
}

TEST(SocketResolve, DottedQuadsAreTakenAsWrittenOtherNamesAreLookedUp) {
  EXPECT_TRUE(Socket::isDottedQuad("127.0.0.1"));
  EXPECT_TRUE(Socket::isDottedQuad("10.0.0.1"));
  EXPECT_FALSE(Socket::isDottedQuad("10.0.1"));
  EXPECT_FALSE(Socket::isDottedQuad("1.2.3.4.5"));
  EXPECT_FALSE(Socket::isDottedQuad("1.2.3.x"));
  EXPECT_FALSE(Socket::isDottedQuad("localhost"));
  EXPECT_FALSE(Socket::isDottedQuad(""));

  EXPECT_EQ(Socket::resolve("127.0.0.1"), kLoopback);
  EXPECT_EQ(Socket::resolve("10.0.0.1"), platform::hostToNet32(0x0A000001));
  // Two dots: not a quad, so it goes to the resolver, which reads the short numeric form.
  EXPECT_EQ(Socket::resolve("10.0.1"), platform::hostToNet32(0x0A000001));
  EXPECT_EQ(Socket::resolve("localhost"), kLoopback);
}

TEST(SocketResolve, AQuadThatIsNoAddressIsNotFound) {
  for (const char* bad : {"300.1.1.1", "1.2.3.", "..."}) {
    try {
      Socket::resolve(bad);
      ADD_FAILURE() << bad << " resolved";
    } catch (const HostNotFoundSocketException& e) {
      EXPECT_STREQ(e.what(), "Host not found");
    }
  }
  Socket s;
  s.create(Socket::STREAM);
  EXPECT_THROW(s.connect(String("300.1.1.1"), 80), HostNotFoundSocketException);
}

TEST(SocketErrors, FailuresCarryTheCallAndTheWinsockText) {
  const uint16_t port = closedPort();
  Socket s;
  s.create(Socket::STREAM);
  try {
    s.connect(kLoopback, port);
    FAIL() << "connected to a closed port";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.code(), 10061);
    EXPECT_EQ(std::string(e.what()),
              format("connect(handle=%d,addr={family:2,addr:16777343,port:%d}) Connection refused",
                     s.handle(), port));
  }

  Listener taken;
  Socket second;
  second.create(Socket::STREAM);
  try {
    second.bind(kLoopback, taken.port);
    FAIL() << "bound a port in use";
  } catch (const SocketException& e) {
    EXPECT_EQ(e.code(), 10048);
    EXPECT_EQ(std::string(e.what()),
              format("bind(handle=%d,addr={family:2,addr:16777343,port:%d}) Address already in use",
                     second.handle(), taken.port));
  }

  try {
    taken.socket.shutdown(Socket::SEND);
    FAIL() << "shut down a listening socket";
  } catch (const SocketException& e) {
    EXPECT_EQ(std::string(e.what()),
              format("shutdown(handle=%d,how=1) Socket is not connected", taken.socket.handle()));
  }

  Socket unconnected;
  unconnected.create(Socket::STREAM);
  char buf[10];
  try {
    unconnected.recv(buf, sizeof buf);
    FAIL() << "received on an unconnected socket";
  } catch (const SocketException& e) {
    EXPECT_EQ(std::string(e.what()),
              format("recv(handle=%d,len=10) Socket is not connected", unconnected.handle()));
  }
}

TEST(Socket, StreamConversationWithTimeoutsAndEndOfStream) {
  Listener listener;
  Socket client;
  client.create(Socket::STREAM);
  client.connect(String("127.0.0.1"), listener.port);
  SocketAddress peer;
  Socket server(listener.socket.accept(&peer));

  EXPECT_EQ(peer, (SocketAddress{kLoopback, client.localPort()}));
  EXPECT_EQ(client.peerAddress(), (SocketAddress{kLoopback, listener.port}));

  EXPECT_FALSE(server.waitReadable(0));
  EXPECT_FALSE(server.hasInput(0));
  client.sendAll("ping", 4);
  ASSERT_TRUE(server.hasInput(5000));
  char buf[16];
  EXPECT_EQ(server.recv(buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");

  server.setTimeout(50);
  EXPECT_EQ(server.recv(buf, sizeof buf), 0);  // nothing came within the socket's time-out

  client.shutdown(Socket::SEND);
  server.setTimeout(5000);
  EXPECT_EQ(server.recv(buf, sizeof buf), 0);  // end of stream
  EXPECT_TRUE(server.waitReadable(0));         // and it stays readable
}

TEST(Socket, SendAllDeliversAHundredThousandBytesWhole) {
  Listener listener;
  Socket client;
  client.create(Socket::STREAM);
  client.connect(kLoopback, listener.port);
  Socket server(listener.socket.accept());
  server.setTimeout(10000);

  std::string received;
  std::thread reader([&] {
    std::string buf(8192, '\0');
    for (;;) {
      int n = server.recv(buf.data(), buf.size());
      if (n <= 0) break;
      received.append(buf.data(), static_cast<size_t>(n));
    }
  });
  const std::string sent = patternText(100000);
  client.sendAll(sent.data(), sent.size());
  client.shutdown(Socket::SEND);
  reader.join();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
}

TEST(Socket, SendAllGoesOutInPiecesOf32768) {
  // Each send of a connected datagram socket is one datagram: the pieces become visible.
  DatagramSink sink;
  Socket sender;
  sink.connect(sender);
  const std::string sent = patternText(100000);
  sender.sendAll(sent.data(), sent.size());

  std::vector<std::string> got = sink.drain();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].size(), 32768u);
  EXPECT_EQ(got[1].size(), 32768u);
  EXPECT_EQ(got[2].size(), 32768u);
  EXPECT_EQ(got[3].size(), 1696u);
  EXPECT_TRUE(got[0] + got[1] + got[2] + got[3] == sent);
}

TEST(Socket, GatheredSendsGroupSixteenChunksAndSendBigOnesAlone) {
  DatagramSink sink;
  Socket sender;
  sink.connect(sender);

  const std::string big = patternText(40000);
  std::vector<std::string> small;
  for (int i = 0; i < 20; ++i) small.push_back(std::string(100, static_cast<char>('a' + i)));
  std::vector<Chunk> chunks;
  for (int i = 0; i < 3; ++i) chunks.push_back({small[i].size(), small[i].data()});
  chunks.push_back({0, nullptr});  // empty chunks are skipped
  chunks.push_back({big.size(), big.data()});
  for (int i = 3; i < 20; ++i) {
    chunks.push_back({small[i].size(), small[i].data()});
    if (i == 10) chunks.push_back({0, nullptr});
  }
  sender.sendAll(chunks.data(), chunks.size());

  std::vector<std::string> got = sink.drain();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], small[0] + small[1] + small[2]);
  EXPECT_TRUE(got[1] == big.substr(0, 32768));
  EXPECT_TRUE(got[2] == big.substr(32768));
  std::string sixteen;
  for (int i = 3; i < 19; ++i) sixteen += small[i];
  EXPECT_EQ(got[3], sixteen);
  EXPECT_EQ(got[4], small[19]);
}

TEST(Socket, SlowBlockingSendsAreLogged) {
  LogRecorder recorder;
  DatagramSink sink;
  SteppingClock slow(600);
  Socket sender(slow);
  sink.connect(sender);
  const std::string data = patternText(100000);
  sender.sendAll(data.data(), data.size());

  std::vector<std::string> progress = recorder.texts(LOG_WARN, "!net Socket::Send transfered ");
  ASSERT_FALSE(progress.empty());
  for (const std::string& line : progress) {
    unsigned long sent = 0, total = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "!net Socket::Send transfered %lu of %lu", &sent, &total),
              2)
        << line;
    EXPECT_EQ(total, 100000u);
    EXPECT_EQ(sent % 32768, 0u);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, 100000u);
  }
  std::vector<std::string> timing = recorder.texts(LOG_WARN, "!net Socket::Send time: ");
  ASSERT_EQ(timing.size(), 1u);
  unsigned long ms = 0, size = 0;
  ASSERT_EQ(std::sscanf(timing[0].c_str(), "!net Socket::Send time: %lu size: %lu", &ms, &size), 2);
  EXPECT_GE(ms, 500u);
  EXPECT_EQ(size, 100000u);

  std::vector<Chunk> chunks(4, Chunk{10, data.data()});
  sender.sendAll(chunks.data(), chunks.size());
  std::vector<std::string> gathered = recorder.texts(LOG_WARN, "!net WSASend time: ");
  ASSERT_EQ(gathered.size(), 1u);
  EXPECT_NE(gathered[0].find(" size: 40"), std::string::npos) << gathered[0];
  EXPECT_EQ(sink.drain().size(), 5u);
}

TEST(Socket, QuickSendsAreNotLogged) {
  LogRecorder recorder;
  DatagramSink sink;
  SteppingClock still(0);
  Socket sender(still);
  sink.connect(sender);
  const std::string data = patternText(100000);
  sender.sendAll(data.data(), data.size());
  std::vector<Chunk> chunks(4, Chunk{10, data.data()});
  sender.sendAll(chunks.data(), chunks.size());
  sender.sendAll(data.data(), 0);
  EXPECT_TRUE(recorder.texts(LOG_WARN, "!net").empty());
}

TEST(Socket, DatagramsCarryTheirSender) {
  DatagramSink sink;
  Socket sender;
  sender.create(Socket::BROADCAST);
  EXPECT_EQ(sender.sendTo("hello", 5, SocketAddress{kLoopback, sink.port}), 5);
  ASSERT_TRUE(sink.socket.hasInput(5000));
  EXPECT_EQ(sink.socket.available(), 5u);
  char buf[16];
  SocketAddress from;
  ASSERT_EQ(sink.socket.recvFrom(buf, sizeof buf, &from), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(from, (SocketAddress{kLoopback, sender.localPort()}));
}

TEST(Socket, OwnsItsHandle) {
  Socket a;
  a.create(Socket::STREAM);
  const SocketHandle h = a.handle();
  ASSERT_NE(h, kInvalidSocket);
  Socket b;
  b.attach(a.release());
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(b.handle(), h);
  b.create(Socket::DATAGRAM);  // the old handle is closed first
  b.close();
  EXPECT_FALSE(b.valid());
  // The first handle is gone: using it fails as "not a socket".
  EXPECT_EQ(platform::socketAvailable(h).error, 10038);
}

}  // namespace
}  // namespace adt
