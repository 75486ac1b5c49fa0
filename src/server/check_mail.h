// The mail check of the command line: one test mail to every configured mail recipient.
#pragma once
#include <string>

namespace server {

// Loads the settings at `settingsPath`, sends the test mail and waits for its outcome, which
// it logs ("...оповещения успешно отправлены" or "...ошибка: <reason>"). Throws
// adt::Exception "Не задан SMTP-сервер" or "Не заданы адреса получателей" when the settings
// cannot make a mail. Returns 0 (the outcome is in the output).
int checkMail(const std::string& settingsPath);

}  // namespace server
