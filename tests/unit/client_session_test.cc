// The client session over real loopback connections: greeting, handshake, command dispatch,
// privileges, error replies, inactivity and hostile input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "adt/exception.h"
#include "adt/tagged_writer.h"
#include "amclient/amclient.h"
#include "client_test_support.h"
#include "clients/client_exception.h"
#include "clients/request.h"

namespace clients::testing {
namespace {

// What the client listener template needs of its connection type.
static_assert(std::is_constructible_v<Client, ClientHost&, adt::SocketHandle>);
static_assert(std::string_view(Client::kClassName) == "Client");

using amclient::Connection;
using amclient::Element;
using amclient::Reply;

// What the probe requests and handlers did; shared with the dispatcher thread.
struct Probe {
  std::atomic<int> made{0};
  std::atomic<int> polled{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> handled{0};
  std::atomic<bool> finishAtOnce{false};
  std::atomic<bool> holds{false};
  std::atomic<bool> failConstruction{false};
  std::mutex mutex;
  std::vector<int> messages;

  std::vector<int> seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
};

// A request that records what reaches it and finishes on element 9 with element 50.
class ProbeRequest final : public Request {
 public:
  ProbeRequest(Client& client, adt::NioTag&, Probe& probe) : Request(client), probe_(probe) {
    ++probe_.made;
    if (probe_.failConstruction) throw adt::Exception("неверные параметры");
  }
  ~ProbeRequest() override { ++probe_.destroyed; }
  bool onMessage(adt::NioTag& element) override {
    {
      std::lock_guard<std::mutex> lock(probe_.mutex);
      probe_.messages.push_back(element.tag());
    }
    if (element.tag() != 9) return false;
    adt::MemoryTaggedWriter reply;
    reply.writeString(50, adt::String("готово"));
    client().send(reply);
    return true;
  }
  bool poll() override {
    ++probe_.polled;
    return probe_.finishAtOnce;
  }
  bool holdsConnection(uint64_t) override { return probe_.holds; }
  void describe(adt::String& out) const override { out += "RqTest(1)"; }

 private:
  Probe& probe_;
};

class ClientSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogRecorder::install();
    table_.bindRequest(14, [this](Client& c, adt::NioTag& e) {
      return std::make_unique<ProbeRequest>(c, e, probe_);
    });
    table_.bindRequest(36, [this](Client& c, adt::NioTag& e) {
      return std::make_unique<ProbeRequest>(c, e, probe_);
    });
    table_.bindHandler(32, [this](Client& c, adt::NioTag&) {
      ++probe_.handled;
      adt::MemoryTaggedWriter reply;
      reply.writeString(52, adt::String("agents"));
      c.send(reply);
    });
    host_.users = {{"admin", 1}, {"reader", 0}};
    host_.store.setPassword("admin", "secret");
    host_.store.setPassword("reader", "book");
    server_ = std::make_unique<LoopServer>(host_);
  }
  void TearDown() override {
    server_.reset();
    adt::setDebugEnabled(false);
  }

  // A connection past the handshake, whose server side has taken the handshake and sent
  // everything (so its last activity is the fake clock's current value).
  std::unique_ptr<Connection> openSettled() {
    auto c = std::make_unique<Connection>();
    c->open(kLoopback, server_->port);
    EXPECT_TRUE(waitFor([&] {
      bool settled = false;
      server_->forEachClient([&](Client& client) {
        if (client.protocolState() == 2 && client.queuedOutput() == 0) settled = true;
      });
      return settled;
    }));
    return c;
  }

  Reply command(Connection& c, uint8_t tag, const std::vector<Element>& params = {}) {
    c.sendCommand(tag, {}, params);
    return c.readUntilClosed();
  }

  FakeHost host_;
  CommandTable table_;
  Probe probe_;
  std::unique_ptr<LoopServer> server_;

 public:
  ClientSessionTest() { host_.table = &table_; }
};

TEST_F(ClientSessionTest, GreetingIsTheTwentyDocumentedBytes) {
  adt::Socket raw;
  raw.create(adt::Socket::STREAM);
  raw.connect(kLoopback, server_->port);
  uint8_t got[20];
  size_t have = 0;
  while (have < sizeof got) {
    ASSERT_TRUE(raw.waitReadable(20000));
    const int n = raw.recv(got + have, sizeof got - have);
    ASSERT_GT(n, 0);
    have += static_cast<size_t>(n);
  }
  const uint8_t expected[20] = {0xC9, 0x06, 0x74, 0x69, 0x6F, 0x00, 0x01, 0x00, 0x07, 0x04,
                                0x0A, 0x00, 0x00, 0x00, 0x4E, 0x04, 0x04, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, memcmp(expected, got, sizeof got));
  EXPECT_TRUE(host_.recorded("clientConnect"));
}

TEST_F(ClientSessionTest, SignatureWithMinorVersionOneGetsOnlyTheReaderError) {
  Connection c;
  c.connect(kLoopback, server_->port);
  c.readGreeting();
  const uint8_t signature[] = {0xC9, 0x06, 0x74, 0x69, 0x6F, 0x00, 0x01, 0x01};
  c.sendRaw(signature, sizeof signature);
  Reply r = c.readUntilClosed();
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(0, r.errorCode);  // no element 101 for reader errors
  EXPECT_EQ("Invalid tag stream format", r.errorText);
  EXPECT_TRUE(LogRecorder::contains("Клиент[127.0.0.1]: Invalid tag stream format"));
}

TEST_F(ClientSessionTest, WrongProtocolVersionsAreRefusedWithCode0x2001) {
  for (int32_t version : {9, 11}) {
    Connection c;
    c.connect(kLoopback, server_->port);
    const amclient::Greeting g = c.readGreeting();
    EXPECT_EQ(10, g.version);
    EXPECT_EQ(4, g.revision);
    c.sendHandshake(version);
    Reply r = c.readUntilClosed();
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(8193, r.errorCode);
    EXPECT_EQ("Неверная версия протокола взаимодействия", r.errorText);
    EXPECT_TRUE(r.closed);
  }
  EXPECT_TRUE(LogRecorder::contains("Неверная версия протокола взаимодействия [8193]"));
}

TEST_F(ClientSessionTest, VersionElementWithWrongTagOrSizeIsAReaderError) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const Case cases[] = {
      {{0x08, 0x04, 0x0A, 0, 0, 0}, "Invalid tag [need:7, but:8]"},
      {{0x07, 0x02, 0x0A, 0}, "Invalid tag size(7) [need:4, but:2]"},
  };
  for (const Case& k : cases) {
    Connection c;
    c.connect(kLoopback, server_->port);
    c.readGreeting();
    adt::MemoryTaggedWriter sig;
    sig.writeStreamSignature();
    c.sendRaw(sig.data(), sig.size());
    c.sendRaw(k.bytes.data(), k.bytes.size());
    Reply r = c.readUntilClosed();
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(0, r.errorCode);
    EXPECT_EQ(k.text, r.errorText);
  }
}

TEST_F(ClientSessionTest, TagsOutsideTheCommandTableAreProtocolViolations) {
  for (uint8_t tag : {66, 13, 131, 200}) {
    Connection c;
    c.open(kLoopback, server_->port);
    Reply r = command(c, tag);
    EXPECT_TRUE(r.failed) << int(tag);
    EXPECT_EQ(0x2001, r.errorCode);
    EXPECT_EQ("Нарушение протокола взаимодействия. tag " + std::to_string(tag), r.errorText);
  }
  EXPECT_TRUE(host_.recorded("clientExecuteRq"));
  EXPECT_TRUE(host_.recorded("clientError"));
}

TEST_F(ClientSessionTest, PrivilegesGateCommandsAndRefusedRequestsAreNeverStarted) {
  {
    // Not logged in: level 0 is refused; the request was made (parse first) but not started.
    Connection c;
    c.open(kLoopback, server_->port);
    Reply r = command(c, 36);
    EXPECT_EQ(0x1002, r.errorCode);
    EXPECT_EQ("Привилегий недостаточно", r.errorText);
    EXPECT_EQ(1, probe_.made.load());
    EXPECT_EQ(0, probe_.polled.load());
    EXPECT_TRUE(waitFor([&] { return probe_.destroyed.load() == 1; }));
  }
  {
    // The agents list needs no login: served, then the connection closes.
    Connection c;
    c.open(kLoopback, server_->port);
    Reply r = command(c, 32);
    EXPECT_FALSE(r.failed);
    ASSERT_EQ(1u, r.elements.size());
    EXPECT_EQ(52, r.elements[0].tag);
    EXPECT_EQ(1, probe_.handled.load());
  }
  {
    // A read-only login passes level 0.
    Connection c;
    c.open(kLoopback, server_->port);
    ASSERT_TRUE(c.login("reader", "book").ok);
    Reply r = command(c, 36, {Element::bytes(9, nullptr, 0)});
    EXPECT_FALSE(r.failed) << r.errorText;
    ASSERT_EQ(1u, r.elements.size());
    EXPECT_EQ("готово", r.elements[0].asText());
  }
}

TEST_F(ClientSessionTest, ManagerRequestsCheckPrivilegesFirstAndFailWithoutAnAdministration) {
  server_->call([&] {
    host_.table = nullptr;  // the manager's own table
    return 0;
  });
  {
    Connection c;
    c.open(kLoopback, server_->port);
    Reply r = command(c, 95);
    EXPECT_EQ(0x1002, r.errorCode);
  }
  {
    // This host has no administration of its own: the request says so instead of answering.
    Connection c;
    c.open(kLoopback, server_->port);
    ASSERT_TRUE(c.login("reader", "book").ok);
    Reply r = command(c, 95, {Element::bytes(202, nullptr, 0)});
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(0, r.errorCode);
    EXPECT_EQ("Администрирование этого менеджера недоступно", r.errorText);
  }
  {
    // The telemetry request needs no login; an agent that is not configured is unknown.
    Connection c;
    c.open(kLoopback, server_->port);
    Reply r = command(c, 124);
    EXPECT_EQ(0x1010, r.errorCode) << r.errorText;
  }
}

TEST_F(ClientSessionTest, FollowUpElementsGoToThePendingRequest) {
  Connection c;
  c.open(kLoopback, server_->port);
  // The command and its follow-ups in one write: the request takes 77, then 9 finishes it.
  c.sendCommand(14, {}, {Element::integer(77, 5), Element::bytes(9, nullptr, 0)});
  Reply r = c.readUntilClosed();
  EXPECT_FALSE(r.failed);
  ASSERT_EQ(1u, r.elements.size());
  EXPECT_EQ(50, r.elements[0].tag);
  EXPECT_EQ((std::vector<int>{77, 9}), probe_.seen());
}

TEST_F(ClientSessionTest, ASecondCommandAfterAHandlerIsNeverRead) {
  Connection c;
  c.open(kLoopback, server_->port);
  c.sendCommand(32, {}, {Element::bytes(32, nullptr, 0), Element::bytes(66, nullptr, 0)});
  Reply r = c.readUntilClosed();
  EXPECT_FALSE(r.failed) << r.errorText;
  EXPECT_EQ(1, probe_.handled.load());
}

TEST_F(ClientSessionTest, ARequestFinishedAtOnceClosesTheConnection) {
  probe_.finishAtOnce = true;
  Connection c;
  c.open(kLoopback, server_->port);
  c.sendCommand(14, {});
  EXPECT_TRUE(c.waitClosed());
  EXPECT_GE(probe_.polled.load(), 1);
}

TEST_F(ClientSessionTest, ParseErrorsOfARequestComeBeforeThePrivilegeError) {
  probe_.failConstruction = true;
  Connection c;
  c.open(kLoopback, server_->port);
  Reply r = command(c, 36);  // level 0, not logged in
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(0, r.errorCode);
  EXPECT_EQ("неверные параметры", r.errorText);
}

TEST_F(ClientSessionTest, AnIdleConnectionIsDroppedAfterSixtySeconds) {
  auto c = openSettled();
  const uint64_t start = host_.fakeClock.now.load();
  host_.fakeClock.now = start + Client::kIdleLimitMs;  // exactly the limit: kept
  ASSERT_TRUE(server_->waitSteps(3));
  EXPECT_EQ(1u, server_->clientCount());
  host_.fakeClock.now = start + 60015;
  EXPECT_TRUE(c->waitClosed());
  EXPECT_TRUE(waitFor([&] { return server_->clientCount() == 0; }));
  EXPECT_TRUE(LogRecorder::contains(
      "Клиент[127.0.0.1]: состояние(), неактивен более 60015 мс, отключаю..."));
  EXPECT_EQ(adt::LOG_WARN, LogRecorder::find("неактивен более").first);
}

TEST_F(ClientSessionTest, InactivityLineQuotesThePendingRequest) {
  auto c = openSettled();
  c->sendCommand(14, {});
  ASSERT_TRUE(waitFor([&] { return probe_.polled.load() > 0; }));
  // Receiving the command refreshed the last activity at the current fake time.
  host_.fakeClock.now = host_.fakeClock.now.load() + 60015;
  EXPECT_TRUE(c->waitClosed());
  EXPECT_TRUE(LogRecorder::contains("состояние(RqTest(1)), неактивен более 60015 мс, отключаю..."));
}

TEST_F(ClientSessionTest, APendingRequestHoldsTheConnectionUpToTwoMinutes) {
  probe_.holds = true;
  auto c = openSettled();
  c->sendCommand(14, {});
  ASSERT_TRUE(waitFor([&] { return probe_.polled.load() > 0; }));
  const uint64_t start = host_.fakeClock.now.load();
  host_.fakeClock.now = start + 119999;
  ASSERT_TRUE(server_->waitSteps(3));
  EXPECT_EQ(1u, server_->clientCount());
  host_.fakeClock.now = start + Client::kHeldIdleLimitMs;
  EXPECT_TRUE(c->waitClosed());
  EXPECT_TRUE(LogRecorder::contains("состояние(RqTest(1)), неактивен более 120000 мс"));
}

TEST_F(ClientSessionTest, DescribeAndDebugLines) {
  adt::setDebugEnabled(true);
  auto c = openSettled();
  uint32_t number = 0;
  adt::String text;
  server_->forEachClient([&](Client& client) {
    number = client.number();
    client.describe(text);
  });
  EXPECT_EQ(adt::format("client(%u,ip:127.0.0.1,s:2,bs:0,it:0)", number), text);
  EXPECT_TRUE(LogRecorder::contains(adt::format("Подключается клиент(%u) [127.0.0.1]", number)));

  Reply r = command(*c, 66);
  EXPECT_TRUE(r.failed);
  c->close();  // the manager has shut its side; the connection ends when ours goes too
  EXPECT_TRUE(waitFor(
      [&] { return LogRecorder::contains(adt::format("Отключается клиент(%u)", number)); }));
  EXPECT_TRUE(LogRecorder::contains(adt::format("Клиент(%u), команда 66", number)));
  // With debugging the error line names the client by number.
  EXPECT_TRUE(LogRecorder::contains(
      adt::format("Клиент(%u): Нарушение протокола взаимодействия. tag 66 [8193]", number)));
}

TEST_F(ClientSessionTest, AnOversizedElementEndsTheConnectionAtOnce) {
  Connection c;
  c.open(kLoopback, server_->port);
  // A long-form header promising almost 4 GiB before any login.
  const uint8_t header[] = {0xFF, 14, 0xF0, 0xFF, 0xFF, 0xFF, 1, 2, 3};
  c.sendRaw(header, sizeof header);
  Reply r = c.readUntilClosed();
  EXPECT_TRUE(r.failed);
  EXPECT_EQ("Tag size too long", r.errorText);
}

TEST_F(ClientSessionTest, GarbageFloodEndsOnlyThatConnection) {
  Connection good;
  good.open(kLoopback, server_->port);

  adt::Socket flood;
  flood.create(adt::Socket::STREAM);
  flood.connect(kLoopback, server_->port);
  std::mt19937 random(12345);
  std::vector<uint8_t> garbage(16384);
  bool cut = false;
  // At most 4 MiB: the manager must have stopped listening long before.
  for (int i = 0; i < 256 && !cut; ++i) {
    for (uint8_t& b : garbage) b = static_cast<uint8_t>(random());
    try {
      flood.sendAll(garbage.data(), garbage.size());
    } catch (const adt::SocketException&) {
      cut = true;
    }
  }
  // Whatever the manager answered, it has closed that connection.
  bool closed = false;
  ASSERT_TRUE(waitFor([&] {
    if (!flood.waitReadable(100)) return false;
    uint8_t sink[4096];
    try {
      closed = flood.recv(sink, sizeof sink) == 0;
    } catch (const adt::SocketException&) {
      closed = true;  // reset: also closed
    }
    return closed;
  }));
  EXPECT_TRUE(closed);
  EXPECT_TRUE(LogRecorder::contains("Клиент[127.0.0.1]: "));

  // The other client is still served.
  const amclient::LoginResult login = good.login("admin", "secret");
  EXPECT_TRUE(login.ok);
  Reply r = command(good, 32);
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(1, probe_.handled.load());
}

TEST_F(ClientSessionTest, ATruncatedElementThenCloseLeavesTheOthersAlone) {
  {
    Connection c;
    c.open(kLoopback, server_->port);
    const uint8_t partial[] = {64, 10, 'a', 'd'};  // promises 10 bytes, sends 2
    c.sendRaw(partial, sizeof partial);
    c.close();
  }
  EXPECT_TRUE(waitFor([&] { return server_->clientCount() == 0; }));
  Connection other;
  other.open(kLoopback, server_->port);
  EXPECT_TRUE(other.login("reader", "book").ok);
}

}  // namespace
}  // namespace clients::testing
