// Notifications from the real am to a real mail server (aiosmtpd) and a real XMPP server
// (prosody) on 127.0.0.1: an agent's unexpected end, the mail check of the command line, the
// console's mail request, and a mail server that is slow to answer while am keeps serving its
// clients.
#include <gtest/gtest.h>

#include <cstdlib>

#include "adt/text.h"
#include "am_home.h"
#include "mail_server.h"
#include "xmpp_server.h"

using namespace std::chrono_literals;
using testsupport::MailServer;

namespace {

std::string mailCommon(const MailServer& server, const std::string& password) {
  return "mail.server=" + server.address() +
         "\nmail.account=am@test.local\nmail.login=robot\nmail.password=" + password +
         "\nadmin.mail=ops1@test.local\nadmin.mail=ops2@test.local\nid=prod\n";
}

class Notify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    ASSERT_TRUE(server_.ready());
    // The default administrator (no [user] sections): the empty name, the empty password.
    ::setenv("AM_PASSWORD", "", 1);
  }
  std::vector<std::string> amctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {AM_BUILD_DIR "/amctl", "--port",
                                     std::to_string(home_.clientPort), "--user", ""};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  MailServer server_{{"normal", "robot", "pw-right", 0}};
};

TEST_F(Notify, AnAgentThatEndsUnexpectedlyMakesExactlyOneMail) {
  home_.writeIni("[agent]\nid=a1\nname=Alpha\nrun_at_least_once=1\ncmd=" AM_BUILD_DIR
                 "/demo-agent --demo-exit-after 1500\n",
                 mailCommon(server_, "pw-right"));
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  auto& am = home_.console();
  ASSERT_TRUE(am.waitForOutput("Неожиданная остановка агента \"Alpha\"", 60s)) << am.output();
  ASSERT_TRUE(server_.waitForMails(1, 60s)) << am.output();
  const auto mail = server_.mails()[0];
  EXPECT_EQ(mail.login, "robot");
  EXPECT_EQ(mail.from, "am@test.local");
  EXPECT_EQ(mail.to, (std::vector<std::string>{"ops1@test.local", "ops2@test.local"}));
  const std::string subject = testsupport::decodeHeader(mail.header("Subject"));
  EXPECT_EQ(subject.rfind("Ошибка в AM: Неожиданная остановка агента \"Alpha\" (pid:", 0), 0u)
      << subject;
  const std::string body = adt::fromCp1251(mail.body());
  EXPECT_NE(body.find("\r\n\r\n--\r\nС уважением, AM v5.2.430 ["), std::string::npos) << body;
  EXPECT_NE(body.find(", id:prod]\r\nотправлено: "), std::string::npos) << body;
  // The coalescing window and then some: still one mail for one end.
  EXPECT_FALSE(server_.waitForMails(2, 6s));
  const std::string out = am.output();
  EXPECT_EQ(out.find("pw-right"), std::string::npos);
  EXPECT_EQ(out.find("SMTP error"), std::string::npos) << out;
}

TEST_F(Notify, AnAgentThatEndsUnexpectedlyMakesOneInstantMessagePerRecipient) {
  testsupport::XmppServer xmpp({{"am", "im-secret"}, {"ops1", "pw1"}, {"ops2", "pw2"}});
  if (!xmpp.ready()) GTEST_SKIP() << "no XMPP server for this test: " << xmpp.problem();
  testsupport::XmppReceiver ops1(xmpp, "ops1", "pw1");
  testsupport::XmppReceiver ops2(xmpp, "ops2", "pw2");
  ASSERT_TRUE(ops1.waitReady()) << ops1.output();
  ASSERT_TRUE(ops2.waitReady()) << ops2.output();
  const std::string domain = testsupport::XmppServer::kDomain;
  home_.writeIni("[agent]\nid=a1\nname=Alpha\nrun_at_least_once=1\ncmd=" AM_BUILD_DIR
                 "/demo-agent --demo-exit-after 1500\n",
                 mailCommon(server_, "pw-right") + "xmpp.server=" + xmpp.address() +
                     "\nxmpp.account=am@" + domain + "\nxmpp.login=am\nxmpp.password=im-secret" +
                     "\nadmin.xmpp=ops1@" + domain + "\nadmin.xmpp=ops2@" + domain + "\n");
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  auto& am = home_.console();
  ASSERT_TRUE(ops1.waitForMessages(1, 60s)) << am.output() << xmpp.log();
  ASSERT_TRUE(ops2.waitForMessages(1, 60s)) << am.output();
  ASSERT_TRUE(server_.waitForMails(1, 60s)) << am.output();
  for (auto* r : {&ops1, &ops2}) {
    const auto got = r->messages()[0];
    EXPECT_EQ(got.from, "am@" + domain);
    EXPECT_EQ(got.body.rfind("Ошибка в AM: Неожиданная остановка агента \"Alpha\" (pid:", 0), 0u)
        << got.body;
    EXPECT_NE(got.body.find("\n\n--\nС уважением, AM v5.2.430 ["), std::string::npos) << got.body;
    EXPECT_NE(got.body.find(", id:prod]\nотправлено: "), std::string::npos) << got.body;
  }
  // The coalescing window and then some: still one message each for one end.
  EXPECT_FALSE(ops1.waitForMessages(2, 6s));
  EXPECT_EQ(ops2.messages().size(), 1u);
  EXPECT_EQ(server_.mails().size(), 1u);
  const std::string out = am.output();
  EXPECT_EQ(out.find("im-secret"), std::string::npos);
  EXPECT_EQ(out.find("XMPP error"), std::string::npos) << out;
}

TEST_F(Notify, CheckMailSendsTheTestMailOrSaysWhyNot) {
  home_.writeIni("", mailCommon(server_, "pw-right"));
  auto ok = home_.run({"--checkmail"});
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_NE(ok.output.find("Проверка почтовых оповещений..."), std::string::npos) << ok.output;
  EXPECT_NE(ok.output.find("...оповещения успешно отправлены"), std::string::npos) << ok.output;
  ASSERT_TRUE(server_.waitForMails(1));
  const auto mail = server_.mails()[0];
  EXPECT_EQ(testsupport::decodeHeader(mail.header("Subject")), "Проверка почтовых оповещений...");
  EXPECT_EQ(adt::fromCp1251(mail.body()),
            "Это сообщение отправлено компонентом AM, платформы ОРВО\r\nОтвечать на него не "
            "нужно\r\n");

  home_.writeIni("", mailCommon(server_, "pw-wrong"));
  auto refused = home_.run({"--checkmail"});
  EXPECT_EQ(refused.exitCode, 0) << refused.output;
  EXPECT_NE(refused.output.find("...ошибка:  5.7.8 Authentication credentials invalid"),
            std::string::npos)
      << refused.output;
  EXPECT_NE(refused.output.find("SMTP error"), std::string::npos) << refused.output;
  EXPECT_EQ(refused.output.find("pw-wrong"), std::string::npos) << refused.output;

  home_.writeIni("", "admin.mail=ops1@test.local\n");
  auto noServer = home_.run({"--checkmail"});
  EXPECT_EQ(noServer.exitCode, 1);
  EXPECT_NE(noServer.output.find("Не задан SMTP-сервер"), std::string::npos) << noServer.output;
  home_.writeIni("", "mail.server=" + server_.address() + "\n");
  auto noRecipients = home_.run({"--checkmail"});
  EXPECT_EQ(noRecipients.exitCode, 1);
  EXPECT_NE(noRecipients.output.find("Не заданы адреса получателей"), std::string::npos);
  EXPECT_EQ(server_.mails().size(), 1u);
}

TEST_F(Notify, CheckConfAcceptsHostAndPort) {
  home_.writeIni("", "mail.server=mail.test:2525\nxmpp.server=chat.test\n");
  auto good = home_.run({"--checkconf"});
  EXPECT_NE(good.output.find("...ошибок не обнаружено"), std::string::npos) << good.output;
  home_.writeIni("", "mail.server=mail.test:0\nxmpp.server=chat.test:x\n");
  auto bad = home_.run({"--checkconf"});
  EXPECT_NE(bad.output.find("ошибка в значении параметра mail.server"), std::string::npos)
      << bad.output;
  EXPECT_NE(bad.output.find("ошибка в значении параметра xmpp.server"), std::string::npos)
      << bad.output;
}

TEST_F(Notify, TheConsoleMailRequestReportsTheOutcome) {
  home_.writeIni("", mailCommon(server_, "pw-right"));
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  auto sent = testsupport::run(amctl({"mail", "Тема от консоли", "строка\n.\nпосле точки"}));
  EXPECT_EQ(sent.exitCode, 0) << sent.output;
  ASSERT_TRUE(server_.waitForMails(1));
  const auto mail = server_.mails()[0];
  EXPECT_EQ(testsupport::decodeHeader(mail.header("Subject")), "Тема от консоли");
  const std::string body = adt::fromCp1251(mail.body());
  EXPECT_EQ(body.rfind("строка\r\n.\r\nпосле точки\r\n\r\n--\r\n", 0), 0u) << body;
}

TEST_F(Notify, TheConsoleMailRequestReportsARefusal) {
  home_.writeIni("", mailCommon(server_, "pw-wrong"));
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  auto refused = testsupport::run(amctl({"mail", "Тема", "текст"}));
  EXPECT_NE(refused.exitCode, 0) << refused.output;
  EXPECT_NE(refused.output.find("Authentication credentials invalid"), std::string::npos)
      << refused.output;
  auto& am = home_.console();
  ASSERT_TRUE(am.waitForOutput("SMTP error", 30s)) << am.output();
  EXPECT_EQ(am.output().find("pw-wrong"), std::string::npos);
}

TEST_F(Notify, TheMainLoopKeepsServingWhileTheMailServerIsSlow) {
  MailServer slow({"slow", "", "", 10});
  ASSERT_TRUE(slow.ready());
  home_.writeIni("", "mail.server=" + slow.address() +
                         "\nmail.account=am@test.local\nadmin.mail=ops1@test.local\n");
  ASSERT_TRUE(home_.startConsole()) << home_.console().output();
  testsupport::Child mail(amctl({"mail", "Медленно", "текст"}));
  // While the mail server has not even greeted, other clients are answered at once.
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto agents = testsupport::run(amctl({"agents"}), "", 30s);
    EXPECT_EQ(agents.exitCode, 0) << agents.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  }
  EXPECT_FALSE(mail.exited());
  EXPECT_TRUE(slow.mails().empty());
  ASSERT_TRUE(mail.waitExit(60s));
  EXPECT_EQ(mail.exitCode(), 0) << mail.output();
  EXPECT_EQ(slow.mails().size(), 1u);
}

}  // namespace
