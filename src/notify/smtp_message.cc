#include "notify/smtp_message.h"

#include "adt/exception.h"
#include "adt/log.h"
#include "notify/mail_text.h"

namespace notify {
namespace {

// Whether an EHLO reply line ("250-STARTTLS", "250 STARTTLS") names the STARTTLS extension.
bool namesStartTls(const adt::String& text) {
  if (text.size() < 9) return false;
  adt::String word = text.substr(1, 8);
  for (char& c : word) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return word == "STARTTLS" && (text.size() == 9 || text[9] == ' ');
}

}  // namespace

SmtpMessage::SmtpMessage(const MailSettings& settings, SmtpCallBack* callback,
                         platform::Clock& clock, uint64_t timeoutMs)
    : Conversation("SMTP", clock, timeoutMs), settings_(settings) {
  if (settings.server.empty()) throw adt::Exception("Не задан SMTP-сервер");
  if (!setServer(settings.server, 25)) {
    throw adt::Exception("Неверно задан SMTP-сервер \"" + settings.server + "\"");
  }
  account_ = withoutLineBreaks(settings.account, false);
  login_ = settings.login;
  password_ = settings.password;
  for (const adt::String& r : settings.recipients) {
    adt::String address = withoutLineBreaks(r, false);
    if (!address.empty()) recipients_.push_back(address);
  }
  helloName_ = "localhost";
  this->callback().attach(callback);
}

SmtpMessage::~SmtpMessage() { abandon(); }

void SmtpMessage::setSubject(const adt::String& subject) {
  subject_ = withoutLineBreaks(subject, true);
}

void SmtpMessage::setHelloName(const adt::String& name) {
  adt::String clean = withoutLineBreaks(name, false);
  helloName_ = clean.empty() ? adt::String("localhost") : clean;
}

void SmtpMessage::onServerClosed() {
  fail(step_ == kStepHandshake ? "соединение закрыто сервером во время согласования TLS"
                               : "соединение закрыто сервером");
}

void SmtpMessage::onData(adt::Buffer* buffer) {
  std::unique_ptr<adt::Buffer> owned(buffer);
  if (reported() && step_ < 9) return;
  const char* data = reinterpret_cast<const char*>(buffer->begin());
  try {
    if (tls_) {
      receiveTls(data, buffer->size());
    } else {
      pending_.append(data, buffer->size());
    }
    dialogue();
    if (pending_.size() > kMaxPending || pending_.size() > kMaxReplyLine) {
      throw adt::Exception("слишком длинный ответ SMTP-сервера");
    }
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void SmtpMessage::receiveTls(const char* data, size_t n) {
  tls_->feed(data, n);
  if (!tlsReady_) {
    const bool done = tls_->handshake();
    flushTls();
    if (!done) return;
    tlsReady_ = true;
    addTrace("-- TLS: " + tls_->description() + "\r\n");
    // The server's capabilities are asked again: those of the plain session no longer count.
    sendPiece("EHLO " + helloName_ + "\r\n");
    step_ = login_.empty() ? 4 : 1;
  }
  tls_->read(&pending_, kMaxPending + 1);
  flushTls();
}

void SmtpMessage::flushTls() {
  std::string out = tls_->takeOutput();
  if (!out.empty()) send(new adt::CopyBuffer(out.data(), out.size()));
}

void SmtpMessage::dialogue() {
  for (;;) {
    if (step_ == kStepHandshake) return;
    size_t end = pending_.find_first_of("\r\n");
    if (end == std::string::npos) return;
    adt::String line = pending_.substr(0, end);
    while (end < pending_.size() && (pending_[end] == '\r' || pending_[end] == '\n')) ++end;
    pending_.erase(0, end);
    // The whole line, code included: the transcript is read when a delivery failed.
    addTrace("<< " + line + "\r\n");
    if (line.size() < 3) throw adt::Exception(line);
    int code = 0;
    for (int i = 0; i < 3; ++i) {
      const char c = line[i];
      code = code * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
    }
    adt::String text = line.substr(3);
    if (code == 250 && namesStartTls(text)) tlsOffered_ = true;
    // "250-..." continues a reply; only its last line ("250 ...") is answered.
    if (!text.empty() && text[0] == '-') continue;
    reply(code, text);
    if (state() != adt::ChannelState::Open) return;
  }
}

void SmtpMessage::afterHello(int code, const adt::String& text) {
  if (code != 250) throw adt::Exception(text);
  if (tlsOffered_ && !tls_) {
    sendPiece("STARTTLS\r\n");
    step_ = kStepStartTls;
    return;
  }
  if (step_ == 1) {
    sendPiece("AUTH LOGIN\r\n");
    step_ = 2;
  } else {
    sendPiece("MAIL FROM:<" + account_ + ">\r\n");
    step_ = 5;
  }
}

void SmtpMessage::startTls() {
  // Whatever followed the server's "220" in the same read was sent before TLS: it must not be
  // taken as part of the protected dialogue.
  pending_.clear();
  tls_ = std::make_unique<TlsClient>(server().host, settings_.caFile);
  step_ = kStepHandshake;
  tls_->handshake();
  flushTls();
}

void SmtpMessage::reply(int code, const adt::String& text) {
  switch (step_) {
    case 0:
      if (code != 220) throw adt::Exception(text);
      sendPiece("EHLO " + helloName_ + "\r\n");
      step_ = login_.empty() ? 4 : 1;
      return;
    case 1:
      afterHello(code, text);
      return;
    case 2:
      if (code == 250) return;
      if (code != 334) throw adt::Exception(text);
      sendPiece(base64(login_) + "\r\n");
      step_ = 3;
      return;
    case 3:
      if (code != 334) throw adt::Exception(text);
      sendPiece(base64(password_) + "\r\n", true);
      step_ = 4;
      return;
    case 4:
      if (code == 334) return;
      if (login_.empty()) {
        // Without a login this is the answer to EHLO.
        afterHello(code, text);
        return;
      }
      if (code != 235 && code != 250) throw adt::Exception(text);
      sendPiece("MAIL FROM:<" + account_ + ">\r\n");
      step_ = 5;
      return;
    case 5:
      if (code != 250 && code != 251) throw adt::Exception(text);
      if (cursor_ < recipients_.size()) {
        sendPiece("RCPT TO:<" + recipients_[cursor_++] + ">\r\n");
      } else {
        sendPiece("DATA\r\n");
        step_ = 7;
      }
      return;
    case 7:
      if (code == 250) return;
      if (code != 354) throw adt::Exception(text);
      sendPiece(messageText(clock().localNow(), platform::localUtcOffsetMinutes()));
      step_ = 8;
      return;
    case 8:
      if (code != 250) throw adt::Exception(text);
      sendPiece("QUIT\r\n");
      step_ = 9;
      succeed();
      return;
    case kStepStartTls:
      // The server offered TLS: nothing, the password least of all, goes on in plain.
      if (code != 220) throw adt::Exception("SMTP-сервер не включил TLS:" + text);
      startTls();
      return;
    default:
      if (code == 221 && state() == adt::ChannelState::Open) close();
      return;
  }
}

adt::String SmtpMessage::messageText(const platform::LocalTime& t, int utcOffsetMinutes) const {
  adt::String m = "Date: " + mailDate(t, utcOffsetMinutes);
  m += "\r\nFrom:<" + account_ + ">\r\nTo:";
  for (size_t i = 0; i < recipients_.size(); ++i) m += (i ? ",<" : " <") + recipients_[i] + ">";
  m += "\r\nSubject:" + headerText(subject_);
  m += "\r\nMIME-Version: 1.0\r\nContent-type: text/plain; charset=WINDOWS-1251\r\n\r\n";
  m += transparentBody(adt::toCp1251(body_));
  m += "\r\n.\r\n";
  return m;
}

void SmtpMessage::sendPiece(const adt::String& piece, bool secret) {
  if (secret) {
    addTrace(">> ********\\13\\10\r\n");
  } else if (piece.size() > 512) {
    addTrace(">> " + traced(piece.substr(0, 512)) + "... (" + std::to_string(piece.size()) +
             " bytes)\r\n");
  } else {
    addTrace(">> " + traced(piece) + "\r\n");
  }
  if (tls_) {
    tls_->write(piece);
    flushTls();
    return;
  }
  send(new adt::CopyBuffer(piece.data(), piece.size()));
}

void SmtpMessage::logFailure(const adt::String& reason) {
  adt::log(adt::LOG_WARN, "SMTP error: \"" + reason + "\" for (server:" + serverText() +
                              ",account:" + account_ + ",login:" + login_ +
                              ",password:" + (password_.empty() ? "" : "********") +
                              ") trace:\r\n" + trace());
}

void SmtpMessage::describe(adt::String& out) const {
  out += "SmtpMessage(" + std::to_string(step_) + ",subject:" + subject_ + ")";
}

}  // namespace notify
