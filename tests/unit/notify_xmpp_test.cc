// The instant-message conversation and its dispatch against a real XMPP server (prosody with a
// throw-away configuration) and a real receiving client, both started for each test.
#include <gtest/gtest.h>

#include "adt/dispatcher.h"
#include "adt/log.h"
#include "delivery_outcome.h"
#include "log_recorder.h"
#include "notify_loop.h"
#include "mail_server.h"
#include "notify/notifier.h"
#include "notify/xmpp_stream.h"
#include "xmpp_server.h"

namespace {

using testsupport::LogRecorder;
using testsupport::XmppReceiver;
using testsupport::XmppServer;

using Outcome = testsupport::DeliveryOutcome;

using Loop = testsupport::NotifyLoop;

notify::NotifySettings settingsFor(const XmppServer& server, const std::string& password,
                                   std::vector<adt::String> recipients) {
  notify::NotifySettings s;
  s.xmpp.server = server.address();
  s.xmpp.account = std::string("am@") + XmppServer::kDomain;
  s.xmpp.login = "am";
  s.xmpp.password = password;
  s.xmpp.recipients = std::move(recipients);
  s.hostName = "am-host.test";
  s.version = "5.2.430";
  return s;
}

std::string jid(const char* user) { return std::string(user) + "@" + XmppServer::kDomain; }

class Xmpp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.ready()) GTEST_SKIP() << "no XMPP server for this test: " << server_.problem();
  }
  XmppServer server_{{{"am", "am-pw&<"}, {"ops1", "pw1"}, {"ops2", "pw2"}}};
};

TEST_F(Xmpp, OneMessagePerRecipientWithSubjectBodyAndSignature) {
  XmppReceiver ops1(server_, "ops1", "pw1");
  XmppReceiver ops2(server_, "ops2", "pw2");
  ASSERT_TRUE(ops1.waitReady()) << ops1.output();
  ASSERT_TRUE(ops2.waitReady()) << ops2.output();
  LogRecorder log;
  Loop loop;
  loop.notifier.configure(settingsFor(server_, "am-pw&<", {jid("ops1"), jid("ops2")}));
  Outcome outcome;
  loop.notifier.send("Ошибка в AM: агент <A>", "a<b & c\nстрока", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); })) << server_.log();
  EXPECT_EQ(outcome.successes, 1) << outcome.error;
  ASSERT_TRUE(ops1.waitForMessages(1));
  ASSERT_TRUE(ops2.waitForMessages(1));
  for (XmppReceiver* r : {&ops1, &ops2}) {
    const auto got = r->messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].from, jid("am"));
    EXPECT_EQ(got[0].body.rfind("Ошибка в AM: агент <A>\n\na<b & c\nстрока\n\n--\n"
                                "С уважением, AM v5.2.430 [am-host.test]\nотправлено: ",
                                0),
              0u)
        << got[0].body;
  }
  EXPECT_EQ(log.count("XMPP error"), 0u);
  EXPECT_EQ(log.count("AMServer::sendMessage offer xmpp message"), 1u);
}

TEST_F(Xmpp, ARefusedLoginIsReportedOnceWithoutThePassword) {
  LogRecorder log;
  Loop loop;
  loop.notifier.configure(settingsFor(server_, "wrong-secret", {jid("ops1")}));
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.errors, 1);
  EXPECT_EQ(outcome.error, "XMPP-сервер отклонил вход (not-authorized)");
  const auto warns = log.texts(adt::LOG_WARN, "XMPP error");
  ASSERT_EQ(warns.size(), 1u);
  EXPECT_NE(warns[0].find("server:" + server_.address() + ",login:am,password:********"),
            std::string::npos)
      << warns[0];
  EXPECT_NE(warns[0].find("<password>********</password>"), std::string::npos) << warns[0];
  EXPECT_EQ(warns[0].find("wrong-secret"), std::string::npos) << warns[0];
}

TEST_F(Xmpp, AMessageToAnAbsentRecipientIsNotLostSilently) {
  XmppReceiver ops1(server_, "ops1", "pw1");
  ASSERT_TRUE(ops1.waitReady()) << ops1.output();
  LogRecorder log;
  Loop loop;
  loop.notifier.configure(settingsFor(server_, "am-pw&<", {jid("nobody"), jid("ops1")}));
  Outcome outcome;
  loop.notifier.send("", "только тело", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.errors, 1);
  EXPECT_EQ(outcome.error, "сообщения не доставлены: " + jid("nobody") + " (service-unavailable)");
  // The other recipient still got it, without a subject line.
  ASSERT_TRUE(ops1.waitForMessages(1));
  EXPECT_EQ(ops1.messages()[0].body.rfind("только тело\n\n--\n", 0), 0u);
  EXPECT_EQ(log.texts(adt::LOG_WARN, "XMPP error").size(), 1u);
}

TEST_F(Xmpp, AnUnknownDomainEndsTheStreamAndIsReported) {
  LogRecorder log;
  Loop loop;
  notify::NotifySettings s = settingsFor(server_, "am-pw&<", {jid("ops1")});
  s.xmpp.account = "am@elsewhere.test";
  loop.notifier.configure(s);
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.error, "XMPP-сервер прервал поток (host-unknown)");
  EXPECT_EQ(log.texts(adt::LOG_WARN, "XMPP error").size(), 1u);
}

TEST(XmppConversation, ASilentServerTimesOutAndARefusedConnectIsReported) {
  // A listener that never answers: the conversation ends with its time-out.
  testsupport::TempDir dir;
  const int port = testsupport::freeTcpPort();
  adt::Socket listener;
  listener.create(adt::Socket::STREAM);
  listener.bind(adt::Socket::resolve("127.0.0.1"), static_cast<uint16_t>(port));
  listener.listen(4);
  LogRecorder log;
  notify::Notifier::Limits limits;
  limits.xmppTimeoutMs = 1200;
  Loop loop(limits);
  notify::NotifySettings s;
  s.xmpp.server = "127.0.0.1:" + std::to_string(port);
  s.xmpp.login = "am@test.local";
  s.xmpp.recipients = {"ops@test.local"};
  loop.notifier.configure(s);
  Outcome silent;
  loop.notifier.send("S", "B", &silent);
  ASSERT_TRUE(loop.runUntil([&] { return silent.done(); }));
  EXPECT_EQ(silent.error, "XMPP-сервер не ответил за 1 с (шаг 0)");
  listener.close();

  Outcome refused;
  loop.notifier.send("S", "B", &refused);
  ASSERT_TRUE(loop.runUntil([&] { return refused.done(); }));
  EXPECT_NE(refused.error.find("connect(127.0.0.1:" + std::to_string(port)), std::string::npos)
      << refused.error;
  EXPECT_EQ(log.texts(adt::LOG_WARN, "XMPP error").size(), 2u);
}

TEST(XmppConversation, SettingsDecideWhatIsSentAndWhatThrows) {
  notify::XmppSettings s;
  s.server = "chat.test";
  s.login = "am@chat.test";
  s.password = "p<&>";
  s.recipients = {"a@chat.test", "o'b@chat.test"};
  notify::XmppMessage m(s, "a<b & c\x01", "");
  const auto& p = m.pieces();
  ASSERT_EQ(p.size(), 6u);
  EXPECT_EQ(p[0], "<?xml version='1.0' encoding='UTF-8'?>");
  EXPECT_EQ(p[1],
            "<stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
            "to='chat.test' version='1.0'>");
  EXPECT_EQ(p[2],
            "<iq type='set' id='auth'><query xmlns='jabber:iq:auth'><username>am</username>"
            "<password>p&lt;&amp;&gt;</password><resource>office</resource></query></iq>");
  EXPECT_EQ(p[3], "<message type='chat' to='a@chat.test'><body>a&lt;b &amp; c</body></message>");
  EXPECT_EQ(p[4], "<message type='chat' to='o&apos;b@chat.test'><body>a&lt;b &amp; c</body></message>");
  EXPECT_EQ(p[5], "</stream:stream>");
  EXPECT_EQ(m.server().port, 5222);

  s.recipients.clear();
  notify::XmppMessage none(s, "B", "S");
  EXPECT_EQ(none.pieces().back(), "</stream:stream>");
  EXPECT_EQ(none.pieces().size(), 4u);

  Outcome told;
  s.server = "";
  try {
    notify::XmppMessage bad(s, "B", "S", &told);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Не задан XMPP-сервер");
  }
  s.server = "chat.test:0";
  EXPECT_THROW(notify::XmppMessage(s, "B", "S", &told), std::exception);
  EXPECT_FALSE(told.done());
}

TEST(XmppConversation, ABadInstantMessageSettingDoesNotKeepTheMailBack) {
  testsupport::MailServer mail({"normal", "", "", 0});
  ASSERT_TRUE(mail.ready());
  LogRecorder log;
  Loop loop;
  notify::NotifySettings s;
  s.mail.server = mail.address();
  s.mail.account = "am@test.local";
  s.mail.recipients = {"ops@test.local"};
  s.xmpp.server = "chat.test:70000";
  s.xmpp.recipients = {"ops@chat.test"};
  loop.notifier.configure(s);
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.successes, 1) << outcome.error;
  EXPECT_TRUE(mail.waitForMails(1));
  const auto warns = log.texts(adt::LOG_WARN, "XMPP error");
  ASSERT_EQ(warns.size(), 1u);
  EXPECT_NE(warns[0].find("Неверно задан XMPP-сервер"), std::string::npos) << warns[0];

  // Without mail recipients the same setting is the caller's error.
  s.mail.recipients.clear();
  loop.notifier.configure(s);
  Outcome alone;
  EXPECT_THROW(loop.notifier.send("S", "B", &alone), std::exception);
  EXPECT_FALSE(alone.done());
}

TEST(XmppReplies, TheReaderFindsLoginBouncesAndTheEndAcrossPieces) {
  notify::XmppReplyReader r;
  const std::string text =
      "<?xml version='1.0'?><stream:stream xmlns='jabber:client' from='t' id=\"x>y\">"
      "<stream:features><auth/></stream:features><iq type='result' id='auth'/>"
      "<message type='error' from='n@t'><body>hi</body><error type='cancel'>"
      "<service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></message>"
      "</stream:stream>";
  for (size_t i = 0; i < text.size(); i += 7) r.feed(text.data() + i, std::min<size_t>(7, text.size() - i));
  EXPECT_TRUE(r.streamOpened());
  EXPECT_EQ(r.login(), notify::XmppReplyReader::Login::Accepted);
  ASSERT_EQ(r.bounced().size(), 1u);
  EXPECT_EQ(r.bounced()[0], "n@t (service-unavailable)");
  EXPECT_TRUE(r.streamClosed());

  notify::XmppReplyReader big;
  const std::string junk(notify::XmppReplyReader::kMaxInput + 1, ' ');
  EXPECT_THROW(big.feed(junk.data(), junk.size()), std::exception);
}

}  // namespace
