// Integrated sign-in (request 130) against a real Kerberos realm that the test makes on
// 127.0.0.1: the real build/am with the service's keytab beside it, amctl whoami with a user's
// ticket, and the refusals (a ticket for another service, a ticket of another realm, a ticket
// that has expired, a token sent a second time, a token that is not one, no keytab at all) each
// ending only their own conversation while the manager goes on serving.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "adt/socket.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "am_home.h"
#include "amclient/amclient.h"
#include "kerberos_realm.h"

namespace {

using namespace std::chrono_literals;
using testsupport::KerberosRealm;
using testsupport::RunResult;

// The manager's service principal: what amctl asks for by default with --host 127.0.0.1.
constexpr const char* kService = "host/127.0.0.1";

// Everything made once for the suite: the realm, its principals, the keytab and a ticket.
struct Realm {
  KerberosRealm kdc{"AM.TEST"};
  bool ready = false;
  std::string keytab = kdc.file("am.keytab");
  std::string alice = kdc.file("alice.ccache");

  Realm() {
    if (!kdc.started()) return;
    ready = kdc.addPrincipal(kService) && kdc.addPrincipal("host/elsewhere") &&
            kdc.addPrincipal("alice", "alice-pw") && kdc.addPrincipal("alice/admin", "admin-pw") &&
            kdc.exportKeytab(kService, keytab) && kdc.kinit("alice", "alice-pw", alice).exitCode == 0;
  }
};

Realm* realm = nullptr;

class IntegratedSignIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { realm = new Realm; }
  static void TearDownTestSuite() {
    delete realm;  // stops the KDC
    realm = nullptr;
  }

  void SetUp() override {
    if (!realm->kdc.started()) {
      GTEST_SKIP() << "the Kerberos KDC could not start, integrated sign-in is not tested: "
                   << realm->kdc.failure();
    }
    ASSERT_TRUE(realm->ready) << "realm set-up failed, KDC log:\n"
                              << testsupport::readFile(realm->kdc.file("kdc.log"));
    ASSERT_TRUE(home_.ready());
    home_.writeIni("");
    // The service's keys beside the executable; the replay cache inside the home.
    testsupport::writeFile(home_.file("am.keytab"), testsupport::readFile(realm->keytab));
    home_.env = {"KRB5_CONFIG=" + realm->kdc.file("krb5.conf"), "KRB5RCACHEDIR=" + home_.path()};
  }

  void startManager() { ASSERT_TRUE(home_.startConsole()) << home_.console().output(); }

  // amctl whoami as the user of `ccache`, with the configuration of `kdc`.
  RunResult whoami(const std::string& ccache, const std::vector<std::string>& extra = {},
                   const KerberosRealm* kdc = nullptr) {
    if (!kdc) kdc = &realm->kdc;
    std::vector<std::string> argv = {"/usr/bin/env", "KRB5_CONFIG=" + kdc->file("krb5.conf"),
                                     "KRB5CCNAME=FILE:" + ccache, AM_BUILD_DIR "/amctl",
                                     "--port", std::to_string(home_.clientPort), "whoami",
                                     "--negotiate"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testsupport::run(argv, "", 90s);
  }

  // The manager still names alice: it kept serving.
  void expectStillServing() {
    const RunResult good = whoami(realm->alice);
    EXPECT_EQ(good.exitCode, 0) << good.output;
    EXPECT_EQ(good.output, "account: alice\n");
  }

  // The first token of the user of `ccache` for the manager, made by the test peer; empty
  // when it could not be made (`why` says why).
  adt::Bytes makeToken(const std::string& ccache, std::string& why) {
    const RunResult made = testsupport::run(
        {"/usr/bin/env", "KRB5_CONFIG=" + realm->kdc.file("krb5.conf"), "KRB5CCNAME=FILE:" + ccache,
         AM_BUILD_DIR "/tests/negotiate-token", kService});
    why = made.output;
    adt::Bytes token;
    if (made.exitCode != 0) return token;
    for (size_t i = 0; i + 1 < made.output.size() && made.output[i] != '\n'; i += 2) {
      token.push_back(static_cast<uint8_t>(std::stoi(made.output.substr(i, 2), nullptr, 16)));
    }
    return token;
  }

  // Sends one step of request 130 with `token` and returns what the manager answered.
  amclient::Reply sendToken(const adt::Bytes& token) {
    amclient::Connection c;
    c.open(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(home_.clientPort));
    adt::MemoryTaggedWriter nested;
    nested.writeInt(1, 1);
    nested.writeTag(202, token.data(), token.size());
    c.sendCommand(130, nested.toBytes());
    return c.readUntilClosed();
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
};

TEST_F(IntegratedSignIn, AGoodTicketNamesItsAccountWithoutTheRealm) {
  startManager();
  const RunResult plain = whoami(realm->alice);
  EXPECT_EQ(plain.exitCode, 0) << plain.output;
  EXPECT_EQ(plain.output, "account: alice\n");

  // Only the realm goes: a principal with an instance keeps it.
  const std::string admin = realm->kdc.file("admin.ccache");
  ASSERT_EQ(realm->kdc.kinit("alice/admin", "admin-pw", admin).exitCode, 0);
  const RunResult withInstance = whoami(admin, {"--service", kService});
  EXPECT_EQ(withInstance.exitCode, 0) << withInstance.output;
  EXPECT_EQ(withInstance.output, "account: alice/admin\n");

  const RunResult usage = whoami(admin, {"--frob"});
  EXPECT_EQ(usage.exitCode, 1) << usage.output;
  EXPECT_NE(usage.output.find("неизвестный аргумент --frob"), std::string::npos) << usage.output;
}

TEST_F(IntegratedSignIn, TicketsForAnotherServiceOrRealmAndGarbageAreRefused) {
  startManager();

  // A ticket the KDC issued for a service whose keys the manager does not hold.
  const RunResult other = whoami(realm->alice, {"--service", "host/elsewhere"});
  EXPECT_EQ(other.exitCode, 8) << other.output;
  EXPECT_NE(other.output.find("securityStatus1=-2146893044 (GSS major 0x000D0000, minor "),
            std::string::npos)
      << other.output;
  EXPECT_NE(other.output.find("host/elsewhere@AM.TEST not found in keytab"), std::string::npos)
      << other.output;
  expectStillServing();

  // A ticket of another realm for a service of the same name.
  KerberosRealm foreign("OTHER.TEST");
  ASSERT_TRUE(foreign.started()) << foreign.failure();
  const std::string carol = foreign.file("carol.ccache");
  ASSERT_TRUE(foreign.addPrincipal(kService));
  ASSERT_TRUE(foreign.addPrincipal("carol", "carol-pw"));
  ASSERT_EQ(foreign.kinit("carol", "carol-pw", carol).exitCode, 0);
  const RunResult stranger = whoami(carol, {}, &foreign);
  EXPECT_EQ(stranger.exitCode, 8) << stranger.output;
  EXPECT_NE(stranger.output.find("securityStatus1=-2146893044 (GSS major"), std::string::npos)
      << stranger.output;
  EXPECT_NE(stranger.output.find("host/127.0.0.1@OTHER.TEST not found in keytab"),
            std::string::npos)
      << stranger.output;
  expectStillServing();

  // Bytes that are no token at all.
  const std::string junk = "not a token";
  const amclient::Reply garbage = sendToken(adt::Bytes(junk.begin(), junk.end()));
  EXPECT_TRUE(garbage.failed);
  EXPECT_EQ(garbage.errorText.rfind("securityStatus1=-2146893048 (GSS major 0x", 0), 0u)
      << garbage.errorText;
  expectStillServing();

  // Each refusal is in the manager's log, as a client error.
  const std::string log = home_.console().output();
  EXPECT_NE(log.find("Клиент[127.0.0.1]: securityStatus1=-2146893048"), std::string::npos) << log;
  EXPECT_NE(log.find("Клиент[127.0.0.1]: securityStatus1=-2146893044"), std::string::npos) << log;
}

TEST_F(IntegratedSignIn, AnExpiredTicketIsRefused) {
  startManager();
  const std::string brief = realm->kdc.file("brief.ccache");
  // The token is made while the ticket is good, and shown to the manager only after its end
  // and the allowed skew. A machine too slow to make it within the ticket's few seconds gets
  // a longer ticket.
  adt::Bytes token;
  std::string why;
  std::chrono::system_clock::time_point expired;
  for (const int life : {3, 15, 60}) {
    ASSERT_EQ(realm->kdc.kinit("alice", "alice-pw", brief, std::to_string(life) + "s").exitCode,
              0);
    // The KDC counted the life from a moment before this one, in whole seconds.
    expired = std::chrono::system_clock::now() +
              std::chrono::seconds(life + KerberosRealm::kClockSkewSeconds + 2);
    token = makeToken(brief, why);
    if (!token.empty()) break;
  }
  ASSERT_GT(token.size(), 100u) << why;
  ASSERT_TRUE(testsupport::waitUntil([&] { return std::chrono::system_clock::now() > expired; },
                                     90s));
  const RunResult klist = testsupport::run({"/usr/bin/env", "KRB5_CONFIG=" +
                                            realm->kdc.file("krb5.conf"), "/usr/bin/klist", "-s",
                                            "-c", brief});
  EXPECT_NE(klist.exitCode, 0) << "the ticket should have expired";

  const amclient::Reply late = sendToken(token);
  EXPECT_TRUE(late.failed);
  EXPECT_EQ(late.errorText.rfind("securityStatus1=", 0), 0u) << late.errorText;
  EXPECT_NE(late.errorText.find("Ticket expired"), std::string::npos) << late.errorText;

  // amctl with the expired ticket stops before the manager: it has nothing to offer.
  const RunResult stale = whoami(brief);
  EXPECT_EQ(stale.exitCode, 3) << stale.output;
  EXPECT_NE(stale.output.find("нет билета Kerberos для host@127.0.0.1"), std::string::npos)
      << stale.output;
  expectStillServing();
}

TEST_F(IntegratedSignIn, AReplayedTokenIsRefused) {
  startManager();
  std::string why;
  const adt::Bytes token = makeToken(realm->alice, why);
  ASSERT_GT(token.size(), 100u) << why;
  const amclient::Reply first = sendToken(token);
  EXPECT_FALSE(first.failed) << first.errorText;
  ASSERT_EQ(first.elements.size(), 1u);
  EXPECT_EQ(first.elements[0].tag, 130);
  std::string account;
  adt::TaggedBufferReader in(first.elements[0].value);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    adt::Bytes value;
    in.readBytes(value);
    if (tag == 3) account.assign(value.begin(), value.end());
  }
  EXPECT_EQ(account, "alice");

  // The same bytes again, as someone who overheard them would send them.
  const amclient::Reply again = sendToken(token);
  EXPECT_TRUE(again.failed);
  EXPECT_EQ(again.errorText.rfind("securityStatus1=", 0), 0u) << again.errorText;
  // Refused as a replay, or, on a machine slower than the allowed skew, as too old.
  EXPECT_TRUE(again.errorText.find("replay") != std::string::npos ||
              again.errorText.find("skew") != std::string::npos)
      << again.errorText;
  expectStillServing();
}

TEST_F(IntegratedSignIn, WithoutAKeytabTheRequestFailsUntilOneIsThere) {
  // KRB5_KTNAME, when set, names the keytab, even with am.keytab beside the executable.
  const std::string named = home_.file("named.keytab");
  home_.env.push_back("KRB5_KTNAME=FILE:" + named);
  startManager();
  const RunResult none = whoami(realm->alice);
  EXPECT_EQ(none.exitCode, 8) << none.output;
  EXPECT_NE(none.output.find("AcquireCredentialsHandle: securityStatus=-2146893042 (GSS major "),
            std::string::npos)
      << none.output;
  EXPECT_NE(none.output.find(named), std::string::npos) << none.output;

  // Put in place while the manager runs, the keytab serves the next request.
  testsupport::writeFile(named, testsupport::readFile(realm->keytab));
  expectStillServing();
}

}  // namespace
