// Authentication: hashes, proofs and nonces, and the login, password change and Windows
// account requests over real loopback connections.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "amclient/amclient.h"
#include "client_test_support.h"
#include "clients/password_hash.h"
#include "clients/password_store.h"

namespace clients::testing {
namespace {

namespace fs = std::filesystem;
using amclient::Connection;
using amclient::Element;
using amclient::Reply;

constexpr const char* kLoginFailure = "Неверное имя пользователя или неправильный пароль";

// ---- Hashes, proofs, nonces ----

TEST(PasswordHashTest, HashAndProofMatchKnownVectors) {
  const Digest hash = passwordHash("admin", salt("0123ABCD"), "secret");
  EXPECT_EQ("8ba7d5cd119b9dd806aad8518730acea", hex(hash));
  EXPECT_EQ("22001ce25006827cefbd7474c689ce41", hex(loginProof(hash, salt("89EF4567"))));
  // Names and passwords are hashed as the Windows-1251 bytes clients send.
  EXPECT_EQ("516256e3b6c0415cfae0156fc8596288",
            hex(passwordHash("Пётр", salt("AAAAAAAA"), "пароль")));
  // The client library computes the same.
  amclient::Salt s;
  std::copy_n("0123ABCD", 8, s.begin());
  EXPECT_EQ(hex(hash), hex(amclient::passwordHash("admin", s, "secret")));
}

TEST(PasswordHashTest, NoncesAreEightUppercaseHexDigitsAndDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const Salt n = makeNonce();
    ASSERT_TRUE(isNonce(n)) << std::string(n.begin(), n.end());
    seen.insert(std::string(n.begin(), n.end()));
  }
  // Made within the same second, they still differ (32 random bits each).
  EXPECT_GE(seen.size(), 198u);
}

TEST(PasswordHashTest, DigestComparison) {
  Digest a{};
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 7);
  Digest b = a;
  EXPECT_TRUE(digestsEqual(a, b));
  b[0] ^= 1;
  EXPECT_FALSE(digestsEqual(a, b));
  b = a;
  b[15] ^= 0x80;
  EXPECT_FALSE(digestsEqual(a, b));
}

// ---- Requests over the wire ----

// A stand-in for the system's "Negotiate" package: the token "hello" is answered with
// "challenge", then "proof" authenticates the account DOMAIN\Иван (Windows-1251 bytes).
class FakeNegotiateContext final : public platform::NegotiateContext {
 public:
  explicit FakeNegotiateContext(std::atomic<uint32_t>& requirements)
      : requirements_(requirements) {}
  int32_t accept(uint32_t requirements, const uint8_t* token, size_t size,
                 std::vector<uint8_t>& out) override {
    requirements_ = requirements;
    const std::string t(reinterpret_cast<const char*>(token), size);
    if (step_ == 0 && t == "hello") {
      step_ = 1;
      out.assign({'c', 'h', 'a', 'l', 'l', 'e', 'n', 'g', 'e'});
      return platform::kSecContinueNeeded;
    }
    if (step_ == 1 && t == "proof") {
      step_ = 2;
      return platform::kSecOk;
    }
    why_ = t == "stale" ? "ticket expired" : "";
    return t == "stale" ? platform::kSecContextExpired : platform::kSecLogonDenied;
  }
  std::string failureText() const override { return why_; }
  int32_t accountName(std::string& name) override {
    name = "DOMAIN\\\xC8\xE2\xE0\xED";
    return platform::kSecOk;
  }

 private:
  std::atomic<uint32_t>& requirements_;
  int step_ = 0;
  std::string why_;
};

class FakeNegotiateProvider final : public platform::NegotiateProvider {
 public:
  int32_t open(std::unique_ptr<platform::NegotiateContext>& context, std::string&) override {
    context = std::make_unique<FakeNegotiateContext>(requirements);
    return platform::kSecOk;
  }
  std::atomic<uint32_t> requirements{0};
};

adt::Bytes proxyMessage(int32_t step, const std::string& token, bool withStep = true) {
  adt::MemoryTaggedWriter nested;
  if (withStep) nested.writeInt(1, step);
  nested.writeTag(202, token.data(), token.size());
  adt::MemoryTaggedWriter outer;
  outer.writeNested(130, nested);
  return outer.toBytes();
}

struct ProxyAnswer {
  int32_t step = 0;
  std::string token;
  std::optional<std::string> account;
};

ProxyAnswer readProxyAnswer(const Element& e) {
  EXPECT_EQ(130, e.tag);
  ProxyAnswer a;
  adt::TaggedBufferReader in(e.value);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    adt::Bytes v;
    in.readBytes(v);
    if (tag == 1) a.step = static_cast<int32_t>(adt::tagged::getLe32(v.data()));
    if (tag == 202) a.token.assign(v.begin(), v.end());
    if (tag == 3) a.account = std::string(v.begin(), v.end());
  }
  return a;
}

class AuthTest : public ::testing::Test {
 protected:
  AuthTest() : host_(dir_.file("am.sec")) {}

  void SetUp() override {
    LogRecorder::install();
    host_.users = {{"admin", 1}, {"reader", 0}, {"guest", 0}};
    host_.store.setPassword("admin", "secret");
    host_.store.setPassword("reader", "book");
    host_.store.setPassword("ghost", "boo");  // stored but not configured
    host_.provider = &negotiate_;
    server_ = std::make_unique<LoopServer>(host_);
    // The login brake's waits pass on the fake clock: it runs 20 times faster than real time.
    ticking_ = true;
    ticker_ = std::thread([this] {
      while (ticking_) {
        host_.fakeClock.now += 100;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  void TearDown() override {
    server_.reset();
    ticking_ = false;
    ticker_.join();
  }

  std::unique_ptr<Connection> connect() {
    auto c = std::make_unique<Connection>();
    c->open(kLoopback, server_->port);
    return c;
  }

  // The password change of `name` to `password`, over a connection logged in already.
  Reply setLogin(Connection& c, const std::string& name, const std::string& password) {
    const amclient::Salt s = {'N', 'E', 'W', 'S', 'A', 'L', 'T', '1'};
    const amclient::Digest h = amclient::passwordHash(name, s, password);
    c.sendCommand(65, {},
                  {Element::text(20, name), Element::bytes(21, h.data(), h.size()),
                   Element::bytes(22, s.data(), s.size())});
    return c.readUntilClosed();
  }

  int32_t serverLevel() {
    int32_t level = -1;
    server_->forEachClient([&](Client& c) { level = c.loggedIn() ? c.privilegeLevel() : -1; });
    return level;
  }

  TempDir dir_;
  FakeHost host_;
  FakeNegotiateProvider negotiate_;
  std::unique_ptr<LoopServer> server_;
  std::atomic<bool> ticking_{false};
  std::thread ticker_;
};

TEST_F(AuthTest, LoginSucceedsWithTheProofAndReportsTheVersion) {
  auto c = connect();
  const amclient::LoginResult r = c->login("admin", "secret");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ((std::array<int32_t, 4>{5, 2, 430, 0}), r.version);
  EXPECT_EQ(hex(host_.store.find("admin")->salt), hex(r.salt.data(), 8));
  EXPECT_TRUE(isNonce(salt(reinterpret_cast<const char*>(r.challenge.data()))));
  EXPECT_EQ(1, serverLevel());
}

TEST_F(AuthTest, EveryFailureGivesTheSameReplyAndKeepsTheConnection) {
  auto c = connect();
  struct Attempt {
    const char* name;
    const char* password;
  };
  // Wrong password; stored but not configured; unknown; case differs.
  for (const Attempt& a : {Attempt{"admin", "wrong"}, Attempt{"ghost", "boo"},
                           Attempt{"nobody", ""}, Attempt{"Admin", "secret"}}) {
    const amclient::LoginResult r = c->login(a.name, a.password);
    EXPECT_FALSE(r.ok) << a.name;
    EXPECT_EQ(kLoginFailure, r.failureText) << a.name;
    EXPECT_TRUE(isNonce(salt(reinterpret_cast<const char*>(r.salt.data())))) << a.name;
    EXPECT_EQ(-1, serverLevel());
  }
  // Still open: a good login on the same connection.
  EXPECT_TRUE(c->login("reader", "book").ok);
  EXPECT_EQ(0, serverLevel());
  // A new login starts logged out.
  EXPECT_FALSE(c->login("reader", "bad").ok);
  EXPECT_EQ(-1, serverLevel());
}

TEST_F(AuthTest, AConfiguredUserWithoutAStoredPasswordHasTheEmptyOne) {
  auto c = connect();
  EXPECT_FALSE(c->login("guest", "anything").ok);
  EXPECT_TRUE(c->login("guest", "").ok);
  EXPECT_EQ(0, serverLevel());
}

TEST_F(AuthTest, TheDefaultAdministratorLogsInWithTheEmptyNameAndPassword) {
  server_->call([&] {
    host_.users = {{"reader", 0}};
    host_.admin = adt::String();
    host_.store.ensureDefaultAdmin();
    return 0;
  });
  auto c = connect();
  EXPECT_TRUE(c->login("", "").ok);
  EXPECT_EQ(1, serverLevel());
}

TEST_F(AuthTest, TheLastClientRevisionCounts) {
  auto c = connect();
  c->sendCommand(64, Element::text(0, "reader").value);
  Reply challenge = c->readUntil(9);
  ASSERT_FALSE(challenge.failed);
  amclient::Salt s, ch;
  std::copy_n(challenge.find(22)->value.begin(), 8, s.begin());
  std::copy_n(challenge.find(24)->value.begin(), 8, ch.begin());
  const amclient::Digest proof =
      amclient::loginProof(amclient::passwordHash("reader", s, "book"), ch);
  c->sendCommand(78, {0, 0, 0, 0},
                 {Element::integer(78, 3), Element::text(20, "reader"),
                  Element::bytes(21, proof.data(), proof.size())});
  Reply verdict = c->readUntil(10);
  ASSERT_FALSE(verdict.failed) << verdict.errorText;
  int32_t revision = -1;
  server_->forEachClient([&](Client& client) { revision = client.clientRevision(); });
  EXPECT_EQ(3, revision);
}

TEST_F(AuthTest, WrongElementsDuringLoginEndTheConnection) {
  {
    auto c = connect();
    c->sendCommand(64, {}, {Element::text(20, "reader"), Element::integer(78, 2)});
    Reply r = c->readUntilClosed();
    EXPECT_TRUE(r.failed);
    EXPECT_EQ("Invalid tag [need:21, but:78]", r.errorText);
  }
  {
    auto c = connect();
    c->sendCommand(64, {}, {Element::text(20, "reader"), Element::bytes(21, "short", 5)});
    Reply r = c->readUntilClosed();
    EXPECT_EQ("Invalid tag size(21) [need:16, but:5]", r.errorText);
  }
  {
    auto c = connect();
    c->sendCommand(64, {}, {Element::integer(33, 1)});
    Reply r = c->readUntilClosed();
    EXPECT_EQ("Invalid tag [need:20, but:33]", r.errorText);
  }
}

TEST_F(AuthTest, AUserChangesTheirOwnPassword) {
  {
    auto c = connect();
    ASSERT_TRUE(c->login("reader", "book").ok);
    Reply r = setLogin(*c, "reader", "novel");
    EXPECT_FALSE(r.failed) << r.errorText;
    ASSERT_EQ(1u, r.elements.size());
    EXPECT_EQ(34, r.elements[0].tag);
  }
  // Saved: the file holds the client's salt and hash in lower-case hex.
  const amclient::Salt s = {'N', 'E', 'W', 'S', 'A', 'L', 'T', '1'};
  const std::string line =
      "reader=" + hex(s.data(), 8) + hex(amclient::passwordHash("reader", s, "novel")) + "\n";
  EXPECT_NE(std::string::npos, get(dir_.file("am.sec")).find(line));
  auto c = connect();
  EXPECT_FALSE(c->login("reader", "book").ok);
  EXPECT_TRUE(c->login("reader", "novel").ok);
}

TEST_F(AuthTest, AnAdministratorSetsAnotherUsersPassword) {
  {
    auto c = connect();
    ASSERT_TRUE(c->login("admin", "secret").ok);
    EXPECT_FALSE(setLogin(*c, "guest", "welcome").failed);
  }
  auto c = connect();
  EXPECT_FALSE(c->login("guest", "").ok);
  EXPECT_TRUE(c->login("guest", "welcome").ok);
}

TEST_F(AuthTest, PasswordChangesThatAreRefused) {
  const std::string before = [&] {
    return server_->call([&] { return hex(host_.store.find("admin")->hash); });
  }();
  {
    // A read-only user may not take over the administrator's account.
    auto c = connect();
    ASSERT_TRUE(c->login("reader", "book").ok);
    Reply r = setLogin(*c, "admin", "mine");
    EXPECT_EQ(0x1002, r.errorCode);
    EXPECT_EQ("Привилегий недостаточно", r.errorText);
  }
  {
    auto c = connect();
    Reply r = setLogin(*c, "admin", "mine");  // not logged in
    EXPECT_EQ(0x1002, r.errorCode);
  }
  {
    auto c = connect();
    ASSERT_TRUE(c->login("admin", "secret").ok);
    Reply r = setLogin(*c, "a=b", "x");
    EXPECT_TRUE(r.failed);
    EXPECT_EQ("Недопустимое имя пользователя", r.errorText);
  }
  {
    auto c = connect();
    ASSERT_TRUE(c->login("admin", "secret").ok);
    c->sendCommand(65, {}, {Element::text(20, "admin"), Element::bytes(22, "12345678", 8)});
    Reply r = c->readUntilClosed();
    EXPECT_EQ("Invalid tag [need:21, but:22]", r.errorText);
  }
  EXPECT_EQ(before, server_->call([&] { return hex(host_.store.find("admin")->hash); }));
  EXPECT_FALSE(fs::exists(dir_.file("am.sec")));
}

TEST_F(AuthTest, AFailedSaveIsReportedAndChangesNothing) {
  fs::create_directory(dir_.file("am.sec"));  // the store's path is a directory: no save
  {
    auto c = connect();
    ASSERT_TRUE(c->login("reader", "book").ok);
    Reply r = setLogin(*c, "reader", "novel");
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(0, r.errorCode);
    EXPECT_FALSE(r.errorText.empty());
  }
  auto c = connect();
  EXPECT_TRUE(c->login("reader", "book").ok);
}

TEST_F(AuthTest, WindowsAccountThroughTheFakeNegotiatePackage) {
  auto c = connect();  // no login needed
  const adt::Bytes first = proxyMessage(1, "hello");
  c->sendRaw(first.data(), first.size());
  std::optional<Element> e = c->readElement();
  ASSERT_TRUE(e);
  ProxyAnswer a = readProxyAnswer(*e);
  EXPECT_EQ(1, a.step);
  EXPECT_EQ("challenge", a.token);
  EXPECT_FALSE(a.account);
  EXPECT_EQ(platform::kAscReqAllocateMemory | platform::kAscReqExtendedError,
            negotiate_.requirements.load());

  const adt::Bytes second = proxyMessage(2, "proof");
  c->sendRaw(second.data(), second.size());
  Reply r = c->readUntilClosed();  // finished: the manager closes
  EXPECT_FALSE(r.failed) << r.errorText;
  ASSERT_EQ(1u, r.elements.size());
  a = readProxyAnswer(r.elements[0]);
  EXPECT_EQ(2, a.step);
  EXPECT_EQ("", a.token);  // no token from the package: no element 202
  EXPECT_EQ(std::optional<std::string>("DOMAIN\\\xC8\xE2\xE0\xED"), a.account);
  EXPECT_EQ(-1, serverLevel());
}

TEST_F(AuthTest, WindowsAccountErrors) {
  struct Case {
    std::vector<adt::Bytes> messages;
    std::string text;
  };
  const Case cases[] = {
      {{proxyMessage(2, "hello")}, "no>stepCount"},
      {{proxyMessage(1, "hello", /*withStep=*/false)}, "TAG_ADA_ATHORIZATION_DATA not found"},
      {{proxyMessage(1, "forged")}, "securityStatus1=-2146893044"},
      // The package's own words follow the status.
      {{proxyMessage(1, "stale")}, "securityStatus1=-2146893033 (ticket expired)"},
      // A step after success, in the same write as the last one.
      {{proxyMessage(1, "hello"), proxyMessage(2, "proof"), proxyMessage(3, "again")},
       "securityStatus0=0"},
  };
  for (const Case& k : cases) {
    auto c = connect();
    adt::Bytes all;
    for (const adt::Bytes& m : k.messages) all.insert(all.end(), m.begin(), m.end());
    c->sendRaw(all.data(), all.size());
    Reply r = c->readUntilClosed();
    EXPECT_TRUE(r.failed) << k.text;
    EXPECT_EQ(0, r.errorCode) << k.text;
    EXPECT_EQ(k.text, r.errorText);
  }
  // Without a package.
  server_->call([&] {
    host_.provider = nullptr;
    return 0;
  });
  auto c = connect();
  const adt::Bytes first = proxyMessage(1, "hello");
  c->sendRaw(first.data(), first.size());
  Reply r = c->readUntilClosed();
  EXPECT_EQ("AcquireCredentialsHandle: securityStatus=-2146893051", r.errorText);
}

TEST_F(AuthTest, AnUnfinishedNegotiationHoldsTheConnectionPastOneMinute) {
  auto c = connect();
  const adt::Bytes first = proxyMessage(1, "hello");
  c->sendRaw(first.data(), first.size());
  ASSERT_TRUE(c->readElement());
  ASSERT_TRUE(waitFor([&] {
    bool sent = false;
    server_->forEachClient([&](Client& client) { sent = client.queuedOutput() == 0; });
    return sent;
  }));
  host_.fakeClock.now = host_.fakeClock.now.load() + 61000;
  ASSERT_TRUE(server_->waitSteps(3));
  EXPECT_EQ(1u, server_->clientCount());
  adt::String text;
  server_->forEachClient([&](Client& client) { client.describe(text); });
  EXPECT_NE(std::string::npos, text.find("RqADProxy: 2")) << text;
  const adt::Bytes second = proxyMessage(2, "proof");
  c->sendRaw(second.data(), second.size());
  Reply r = c->readUntilClosed();
  EXPECT_FALSE(r.failed) << r.errorText;
}

}  // namespace
}  // namespace clients::testing
