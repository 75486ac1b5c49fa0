// The server's side of administrator notifications: settings in force and the entry points the
// supervision, the memory watch and the console's mail request call.
#include "adt/log.h"
#include "platform/self.h"
#include "server/am_server.h"
#include "server/arguments.h"
#include "server/check_mail.h"

namespace server {

notify::NotifySettings AMServer::notifySettings() const {
  notify::NotifySettings s = mailSettingsOf(common_);
  s.serverId = common_.id;
  s.version = adt::versionText(kVersion);
  return s;
}

void AMServer::sendMessage(const adt::String& subject, const adt::String& text) {
  // The log keeps every notification, also those a storm bound folds or drops.
  adt::log(adt::LOG_INFO, subject + ": " + text);
  notifier_.configure(notifySettings());
  notifier_.notify(subject, text);
}

void AMServer::sendError(const adt::String& text, const adt::String& details) {
  try {
    sendMessage(details.empty() ? adt::String("Ошибка в AM") : "Ошибка в AM: " + details, text);
  } catch (const std::exception& e) {
    adt::log(adt::LOG_ERR, e.what());
  }
}

void AMServer::sendMail(const adt::String& subject, const adt::String& text,
                        notify::SmtpCallBack* callback) {
  notifier_.configure(notifySettings());
  notifier_.send(subject, text, callback);
}

}  // namespace server
