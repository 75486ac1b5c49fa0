#include "server/check_mail.h"

#include "adt/dispatcher.h"
#include "adt/exception.h"
#include "adt/log.h"
#include "config/settings.h"
#include "notify/notifier.h"
#include "platform/clock.h"
#include "platform/self.h"

namespace server {
namespace {

class CheckCallBack final : public notify::SmtpCallBack {
 public:
  void onSuccess() override { adt::log(adt::LOG_INFO, "...оповещения успешно отправлены"); }
  void onError(const char* message) override {
    adt::log(adt::LOG_INFO, adt::String("...ошибка: ") + message);
  }
};

}  // namespace

notify::NotifySettings mailSettingsOf(const config::CommonSettings& common) {
  notify::NotifySettings s;
  s.mail.server = common.mailServer;
  s.mail.account = common.mailAccount;
  s.mail.login = common.mailLogin;
  s.mail.password = common.mailPassword;
  s.mail.recipients = common.adminMail;
  s.xmpp.server = common.xmppServer;
  s.xmpp.account = common.xmppAccount;
  s.xmpp.login = common.xmppLogin;
  s.xmpp.password = common.xmppPassword;
  s.xmpp.recipients = common.adminXmpp;
  s.hostName = !common.fqdn.empty() ? common.fqdn : adt::String(platform::machineName());
  return s;
}

int checkMail(const std::string& settingsPath) {
  adt::log(adt::LOG_INFO, "Проверка почтовых оповещений...");
  config::Settings settings;
  settings.load(settingsPath);
  const config::CommonSettings& c = settings.common;
  if (c.mailServer.empty()) throw adt::Exception("Не задан SMTP-сервер");
  if (c.adminMail.empty()) throw adt::Exception("Не заданы адреса получателей");

  platform::Clock& clock = platform::systemClock();
  adt::ChannelDispatcher dispatcher(clock);
  notify::Notifier notifier(dispatcher, clock);
  notifier.configure(mailSettingsOf(c));
  CheckCallBack callback;
  notifier.deliver("Проверка почтовых оповещений...",
                   "Это сообщение отправлено компонентом AM, платформы ОРВО\n"
                   "Отвечать на него не нужно",
                   &callback);
  // Ends within the conversation's time-out (and the dispatcher's close limit).
  while (dispatcher.count() > 0 || notifier.busy()) {
    if (!dispatcher.process()) platform::sleepMs(20);
    notifier.poll();
  }
  return 0;
}

}  // namespace server
