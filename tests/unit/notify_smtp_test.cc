// The mail conversation and the notification dispatch against a real mail server (aiosmtpd)
// started on 127.0.0.1 for each test.
#include <gtest/gtest.h>

#include <regex>

#include "adt/dispatcher.h"
#include "adt/log.h"
#include "adt/text.h"
#include "delivery_outcome.h"
#include "fake_clock.h"
#include "log_recorder.h"
#include "notify_loop.h"
#include "mail_server.h"
#include "notify/mail_text.h"
#include "notify/notifier.h"

namespace {

using testsupport::LogRecorder;
using testsupport::MailServer;

using Outcome = testsupport::DeliveryOutcome;

using Loop = testsupport::NotifyLoop;

notify::NotifySettings settingsFor(const MailServer& server, const std::string& login = "",
                                   const std::string& password = "") {
  notify::NotifySettings s;
  s.mail.server = server.address();
  s.mail.account = "am@test.local";
  s.mail.login = login;
  s.mail.password = password;
  s.mail.recipients = {"a@test.local", "b@test.local", "c@test.local"};
  s.hostName = "am-host.test";
  s.version = "5.2.430";
  s.serverId = "main";
  return s;
}

TEST(SmtpConversation, DeliversOneMailWithAuthRecipientsHeadersAndTransparentBody) {
  MailServer server({"normal", "robot", "s3cret!"});
  ASSERT_TRUE(server.ready());
  LogRecorder log;
  Loop loop;
  notify::NotifySettings s = settingsFor(server, "robot", "s3cret!");
  s.mail.recipients.push_back("evil@test.local\r\nData");
  loop.notifier.configure(s);
  Outcome outcome;
  loop.notifier.send("Ошибка в AM: агент \"A\"\r\nBcc: x@y", "строка 1\n.\n..две\nконец", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.successes, 1) << outcome.error;
  ASSERT_TRUE(server.waitForMails(1));
  const auto mails = server.mails();
  ASSERT_EQ(mails.size(), 1u);
  const auto& m = mails[0];
  EXPECT_EQ(m.login, "robot");
  EXPECT_EQ(m.from, "am@test.local");
  // The line break was removed from the address: it cannot smuggle a command in.
  EXPECT_EQ(m.to, (std::vector<std::string>{"a@test.local", "b@test.local", "c@test.local",
                                            "evil@test.localData"}));
  EXPECT_EQ(m.header("To"), " <a@test.local>,<b@test.local>,<c@test.local>,<evil@test.localData>");
  EXPECT_EQ(m.header("Bcc"), "");
  EXPECT_EQ(testsupport::decodeHeader(m.header("Subject")), "Ошибка в AM: агент \"A\" Bcc: x@y");
  EXPECT_TRUE(std::regex_match(
      m.header("Date"), std::regex(" (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d [A-Z][a-z]{2} \\d{4} "
                                   "\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}")))
      << m.header("Date");
  EXPECT_EQ(m.header("Content-type"), " text/plain; charset=WINDOWS-1251");
  const std::string body = adt::fromCp1251(m.body());
  // The lone period stays a line of the body (it did not end the message).
  EXPECT_EQ(body.substr(0, body.find("\r\n\r\n--")), "строка 1\r\n.\r\n..две\r\nконец");
  EXPECT_NE(body.find("\r\n\r\n--\r\nС уважением, AM v5.2.430 [am-host.test, id:main]\r\n"
                      "отправлено: "),
            std::string::npos)
      << body;
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.text.find("s3cret"), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find(notify::base64("s3cret!")), std::string::npos) << line.text;
  }
}

TEST(SmtpConversation, WithoutLoginAnswersOnlyTheLastLineOfTheMultiLineGreeting) {
  MailServer server({"normal", "", ""});
  ASSERT_TRUE(server.ready());
  LogRecorder log;
  Loop loop;
  loop.notifier.configure(settingsFor(server));
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.successes, 1) << outcome.error;
  ASSERT_TRUE(server.waitForMails(1));
  EXPECT_EQ(server.mails()[0].login, "");
  EXPECT_EQ(server.mails()[0].to.size(), 3u);
  EXPECT_EQ(log.count("SMTP error"), 0u);
}

// Each failure reaches the callback once and makes one WARN line with the server and the
// reason, never the password.
struct FailureCase {
  const char* mode;
  const char* password;  // the client's; the server wants "right"
  const char* reasonPart;
};

class SmtpFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SmtpFailure, ReachesTheCallbackAndOneWarnLineWithoutThePassword) {
  const FailureCase c = GetParam();
  MailServer server({c.mode, "robot", "right", 0});
  ASSERT_TRUE(server.ready());
  LogRecorder log;
  notify::Notifier::Limits limits;
  limits.smtpTimeoutMs = 1500;
  Loop loop(platform::systemClock(), limits);
  loop.notifier.configure(settingsFor(server, "robot", c.password));
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.successes, 0);
  EXPECT_EQ(outcome.errors, 1);
  EXPECT_NE(outcome.error.find(c.reasonPart), std::string::npos) << outcome.error;
  const auto warns = log.texts(adt::LOG_WARN, "SMTP error");
  ASSERT_EQ(warns.size(), 1u);
  EXPECT_NE(warns[0].find("server:" + server.address()), std::string::npos) << warns[0];
  EXPECT_NE(warns[0].find("login:robot,password:********"), std::string::npos) << warns[0];
  EXPECT_EQ(warns[0].find(c.password), std::string::npos) << warns[0];
  EXPECT_EQ(warns[0].find(notify::base64(c.password)), std::string::npos) << warns[0];
  EXPECT_TRUE(server.mails().empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, SmtpFailure,
                         ::testing::Values(FailureCase{"normal", "wrong-pw", "Authentication"},
                                           FailureCase{"close", "wrong-pw", "закрыто сервером"},
                                           FailureCase{"silent", "wrong-pw", "не ответил за 1 с"}),
                         [](const ::testing::TestParamInfo<FailureCase>& param) {
                           return std::string(param.param.mode == std::string("normal")
                                                  ? "refused"
                                                  : param.param.mode);
                         });

TEST(SmtpConversation, RefusedLoginTranscriptShowsTheDialogue) {
  MailServer server({"normal", "robot", "right", 0});
  ASSERT_TRUE(server.ready());
  LogRecorder log;
  Loop loop;
  loop.notifier.configure(settingsFor(server, "robot", "wrong-pw"));
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  const auto warns = log.texts(adt::LOG_WARN, "SMTP error");
  ASSERT_EQ(warns.size(), 1u);
  EXPECT_NE(warns[0].find(">> AUTH LOGIN\\13\\10"), std::string::npos) << warns[0];
  EXPECT_NE(warns[0].find(">> ********\\13\\10"), std::string::npos) << warns[0];
  EXPECT_NE(warns[0].find("<< 535"), std::string::npos) << warns[0];
}

TEST(SmtpConversation, ConnectionRefusedIsReportedOnce) {
  const int port = testsupport::freeTcpPort();
  LogRecorder log;
  Loop loop;
  notify::NotifySettings s;
  s.mail.server = "127.0.0.1:" + std::to_string(port);
  s.mail.recipients = {"a@test.local"};
  loop.notifier.configure(s);
  Outcome outcome;
  loop.notifier.send("S", "B", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.errors, 1);
  EXPECT_NE(outcome.error.find("connect(127.0.0.1:" + std::to_string(port)), std::string::npos)
      << outcome.error;
  EXPECT_EQ(log.texts(adt::LOG_WARN, "SMTP error").size(), 1u);
}

// The server offers STARTTLS: the dialogue goes on inside TLS, the login among it; a
// certificate that is not trusted ends the delivery before anything secret is sent.
TEST(SmtpConversation, StartTlsBeforeTheLoginAndNeverThePasswordInPlain) {
  testsupport::TempDir certs;
  ASSERT_TRUE(testsupport::makeTestCertificate(certs.path()));
  MailServer server({"normal", "robot", "s3cret!", 0}, certs.file("cert.pem"),
                    certs.file("key.pem"));
  ASSERT_TRUE(server.ready());
  LogRecorder log;
  Loop loop;
  notify::NotifySettings s = settingsFor(server, "robot", "s3cret!");
  s.mail.caFile = certs.file("cert.pem");
  loop.notifier.configure(s);
  Outcome outcome;
  loop.notifier.send("Через TLS", "тело", &outcome);
  ASSERT_TRUE(loop.runUntil([&] { return outcome.done(); }));
  EXPECT_EQ(outcome.successes, 1) << outcome.error;
  ASSERT_TRUE(server.waitForMails(1));
  // The server takes AUTH only inside TLS: the login it recorded came through TLS.
  EXPECT_EQ(server.mails()[0].login, "robot");
  EXPECT_EQ(testsupport::decodeHeader(server.mails()[0].header("Subject")), "Через TLS");

  // Without the certificate among the trusted ones: refused, and the server saw no login.
  s.mail.caFile = "";
  loop.notifier.configure(s);
  Outcome untrusted;
  loop.notifier.send("S", "B", &untrusted);
  ASSERT_TRUE(loop.runUntil([&] { return untrusted.done(); }));
  EXPECT_EQ(untrusted.errors, 1);
  EXPECT_NE(untrusted.error.find("сертификат сервера не принят"), std::string::npos)
      << untrusted.error;
  const auto warns = log.texts(adt::LOG_WARN, "SMTP error");
  ASSERT_EQ(warns.size(), 1u);
  EXPECT_NE(warns[0].find(">> STARTTLS\\13\\10"), std::string::npos) << warns[0];
  EXPECT_EQ(warns[0].find("AUTH LOGIN"), std::string::npos) << warns[0];
  EXPECT_EQ(server.mails().size(), 1u);
}

TEST(NotificationDispatch, SettingsThatCannotMakeAMailThrowOrReport) {
  adt::ChannelDispatcher dispatcher;
  notify::Notifier notifier(dispatcher, platform::systemClock());
  Outcome outcome;
  notifier.send("S", "B", &outcome);
  EXPECT_EQ(outcome.error, "не настроено ни одного адреса для отправки");
  notify::NotifySettings s;
  s.mail.recipients = {"a@test.local"};
  notifier.configure(s);
  Outcome second;
  try {
    notifier.send("S", "B", &second);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Не задан SMTP-сервер");
  }
  s.mail.server = "host:99999";
  notifier.configure(s);
  EXPECT_THROW(notifier.send("S", "B", &second), std::exception);
  EXPECT_FALSE(second.done());
}

TEST(NotificationDispatch, AStormBecomesFewMailsAndCountsWhatWasDropped) {
  MailServer server({"normal", "", ""});
  ASSERT_TRUE(server.ready());
  testsupport::ManualClock clock;
  notify::Notifier::Limits limits;
  limits.coalesceMs = 3000;
  limits.perMinute = 2;
  limits.queueLimit = 3;
  Loop loop(clock, limits);
  loop.notifier.configure(settingsFor(server));
  for (int i = 0; i < 10; ++i) {
    loop.notifier.notify("Ошибка " + std::to_string(i), "текст " + std::to_string(i));
  }
  // Nothing leaves before the coalescing time.
  for (int i = 0; i < 20; ++i) loop.notifier.poll();
  EXPECT_EQ(loop.dispatcher.count(), 0u);
  clock.now += 3000;
  ASSERT_TRUE(loop.runUntil([] { return true; }));
  ASSERT_TRUE(server.waitForMails(1));
  auto first = server.mails()[0];
  EXPECT_EQ(testsupport::decodeHeader(first.header("Subject")), "Ошибка 0 (и ещё 2)");
  const std::string body = adt::fromCp1251(first.body());
  EXPECT_NE(body.find("Ошибка 2\r\nтекст 2"), std::string::npos) << body;
  EXPECT_EQ(body.find("Ошибка 3"), std::string::npos) << body;
  EXPECT_NE(body.find("пропущено оповещений (слишком много за минуту): 7"), std::string::npos);

  // Second mail of the minute: allowed; the third waits for the minute to pass.
  loop.notifier.notify("Ошибка 10", "текст");
  clock.now += 3000;
  ASSERT_TRUE(loop.runUntil([] { return true; }));
  ASSERT_TRUE(server.waitForMails(2));
  loop.notifier.notify("Ошибка 11", "текст");
  clock.now += 3000;
  for (int i = 0; i < 20; ++i) loop.notifier.poll();
  EXPECT_EQ(loop.dispatcher.count(), 0u);
  EXPECT_TRUE(loop.notifier.busy());
  clock.now += 60000;
  ASSERT_TRUE(loop.runUntil([] { return true; }));
  ASSERT_TRUE(server.waitForMails(3));
  EXPECT_EQ(testsupport::decodeHeader(server.mails()[2].header("Subject")), "Ошибка 11");
  EXPECT_EQ(server.mails().size(), 3u);
}

TEST(MailText, HeaderWordsDatesAndTransparency) {
  EXPECT_EQ(notify::base64(""), "");
  EXPECT_EQ(notify::base64("f"), "Zg==");
  EXPECT_EQ(notify::base64("fo"), "Zm8=");
  EXPECT_EQ(notify::base64("foo"), "Zm9v");
  EXPECT_EQ(notify::headerText("plain"), "plain");
  const std::string long_ = std::string(60, 'x') + "ж";
  EXPECT_EQ(testsupport::decodeHeader(notify::headerText(long_)), long_);
  platform::LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 6;
  t.hour = 9;
  t.minute = 5;
  t.second = 7;
  t.weekday = 7;
  EXPECT_EQ(notify::mailDate(t, 180), "Sun, 06 Dec 2026 09:05:07 +0300");
  EXPECT_EQ(notify::mailDate(t, -330), "Sun, 06 Dec 2026 09:05:07 -0530");
  EXPECT_EQ(notify::transparentBody(".a\n.\r\nb\r.c"), "..a\r\n..\r\nb\r\n..c");
}

}  // namespace
