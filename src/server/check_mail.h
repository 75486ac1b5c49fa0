// The mail check of the command line: one test mail to every configured mail recipient.
#pragma once
#include <string>

#include "config/settings.h"
#include "notify/notifier.h"

namespace server {

// The mail and instant-message servers, accounts and recipients of the [common] section, and
// the name the manager signs with: the configured one, else the machine's (no name-service
// call, which could hold the main loop).
notify::NotifySettings mailSettingsOf(const config::CommonSettings& common);

// Loads the settings at `settingsPath`, sends the test mail and waits for its outcome, which
// it logs ("...оповещения успешно отправлены" or "...ошибка: <reason>"). Throws
// adt::Exception "Не задан SMTP-сервер" or "Не заданы адреса получателей" when the settings
// cannot make a mail. Returns 0 (the outcome is in the output).
int checkMail(const std::string& settingsPath);

}  // namespace server
