#include "notify/smtp_message.h"

#include "adt/exception.h"
#include "adt/log.h"
#include "notify/mail_text.h"
#include "platform/net.h"

namespace notify {
namespace {

// A piece as the transcript shows it: control characters as "\<decimal code>".
adt::String traced(const adt::String& piece) {
  adt::String out;
  for (char c : piece) {
    if (static_cast<uint8_t>(c) < 32) {
      out += "\\" + std::to_string(static_cast<int>(c));
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

SmtpMessage::SmtpMessage(const MailSettings& settings, SmtpCallBack* callback,
                         platform::Clock& clock, uint64_t timeoutMs)
    : clock_(clock), timeoutMs_(timeoutMs), callback_(callback) {
  if (settings.server.empty()) throw adt::Exception("Не задан SMTP-сервер");
  if (!config::parseHostPort(settings.server, 25, &server_)) {
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
}

SmtpMessage::~SmtpMessage() {
  // Destroyed before the outcome was known (shut down with the dispatcher, or dropped by its
  // close limit): the caller still learns that nothing was delivered.
  if (!reported_) report("доставка прервана");
}

void SmtpMessage::setSubject(const adt::String& subject) {
  subject_ = withoutLineBreaks(subject, true);
}

void SmtpMessage::setHelloName(const adt::String& name) {
  adt::String clean = withoutLineBreaks(name, false);
  helloName_ = clean.empty() ? adt::String("localhost") : clean;
}

void SmtpMessage::connect(uint32_t address) {
  socket_.create(adt::Socket::STREAM);
  socket_.setNonBlocking(true);
  platform::Endpoint remote;
  remote.address = address;
  remote.port = server_.port;
  const int code = platform::socketConnect(socket_.handle(), remote);
  if (code != 0 && code != 10036 && code != platform::kNetWouldBlock) {
    throw adt::SocketException("connect(" + server_.host + ":" + std::to_string(server_.port) + ")",
                               code);
  }
  connecting_ = code != 0;
  startedMs_ = clock_.nowMs();
}

bool SmtpMessage::wantsWrite() { return connecting_ || ClientChannel::wantsWrite(); }

void SmtpMessage::onWrite() {
  try {
    if (connecting_) {
      const int code = platform::socketTakeError(socket_.handle());
      if (code != 0) {
        throw adt::SocketException(
            "connect(" + server_.host + ":" + std::to_string(server_.port) + ")", code);
      }
      connecting_ = false;
      return;
    }
    ClientChannel::onWrite();
    if (state() == adt::ChannelState::Closed && step_ < 9) fail("соединение разорвано сервером");
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

int SmtpMessage::onRead(adt::ChannelDispatcher& dispatcher) {
  try {
    ClientChannel::onRead(dispatcher);
    if (state() == adt::ChannelState::Closed && step_ < 9) fail("соединение закрыто сервером");
  } catch (const std::exception& e) {
    fail(e.what());
  }
  return 0;
}

void SmtpMessage::onData(adt::Buffer* buffer) {
  std::unique_ptr<adt::Buffer> owned(buffer);
  if (reported_ && step_ < 9) return;
  pending_.append(reinterpret_cast<const char*>(buffer->begin()), buffer->size());
  try {
    dialogue();
    if (pending_.size() > kMaxPending || pending_.size() > kMaxReplyLine) {
      throw adt::Exception("слишком длинный ответ SMTP-сервера");
    }
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void SmtpMessage::onIdle() {
  if (reported_ || state() != adt::ChannelState::Open) return;
  if (startedMs_ != 0 && clock_.nowMs() - startedMs_ > timeoutMs_) {
    fail("SMTP-сервер не ответил за " + std::to_string(timeoutMs_ / 1000) + " с (шаг " +
         std::to_string(step_) + ")");
  }
}

void SmtpMessage::dialogue() {
  for (;;) {
    size_t end = pending_.find_first_of("\r\n");
    if (end == std::string::npos) return;
    adt::String line = pending_.substr(0, end);
    while (end < pending_.size() && (pending_[end] == '\r' || pending_[end] == '\n')) ++end;
    pending_.erase(0, end);
    if (line.size() < 3) {
      addTrace("<< " + line + "\r\n");
      throw adt::Exception(line);
    }
    int code = 0;
    for (int i = 0; i < 3; ++i) {
      const char c = line[i];
      code = code * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
    }
    adt::String text = line.substr(3);
    // The whole line, code included: the transcript is read when a delivery failed.
    addTrace("<< " + line + "\r\n");
    // "250-..." continues a reply; only its last line ("250 ...") is answered.
    if (!text.empty() && text[0] == '-') continue;
    reply(code, text);
    if (state() != adt::ChannelState::Open) return;
  }
}

void SmtpMessage::unexpected(const adt::String& text) { throw adt::Exception(text); }

void SmtpMessage::reply(int code, const adt::String& text) {
  switch (step_) {
    case 0:
      if (code != 220) unexpected(text);
      sendPiece("EHLO " + helloName_ + "\r\n");
      step_ = login_.empty() ? 4 : 1;
      return;
    case 1:
      if (code != 250) unexpected(text);
      sendPiece("AUTH LOGIN\r\n");
      step_ = 2;
      return;
    case 2:
      if (code == 250) return;
      if (code != 334) unexpected(text);
      sendPiece(base64(login_) + "\r\n");
      step_ = 3;
      return;
    case 3:
      if (code != 334) unexpected(text);
      sendPiece(base64(password_) + "\r\n", true);
      step_ = 4;
      return;
    case 4:
      if (code == 334) return;
      if (code != 235 && code != 250) unexpected(text);
      sendPiece("MAIL FROM:<" + account_ + ">\r\n");
      step_ = 5;
      return;
    case 5:
      if (code != 250 && code != 251) unexpected(text);
      if (cursor_ < recipients_.size()) {
        sendPiece("RCPT TO:<" + recipients_[cursor_++] + ">\r\n");
      } else {
        sendPiece("DATA\r\n");
        step_ = 7;
      }
      return;
    case 7:
      if (code == 250) return;
      if (code != 354) unexpected(text);
      sendPiece(messageText(clock_.localNow(), platform::localUtcOffsetMinutes()));
      step_ = 8;
      return;
    case 8:
      if (code != 250) unexpected(text);
      sendPiece("QUIT\r\n");
      step_ = 9;
      reported_ = true;
      callback_.success();
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
  send(new adt::CopyBuffer(piece.data(), piece.size()));
}

void SmtpMessage::addTrace(const adt::String& entry) {
  if (trace_.size() >= kMaxTrace) return;
  trace_ += entry;
  if (trace_.size() >= kMaxTrace) trace_ += "...\r\n";
}

void SmtpMessage::fail(const adt::String& reason) {
  if (reported_) return;
  report(reason);
  setState(adt::ChannelState::Closed);
}

void SmtpMessage::report(const adt::String& reason) {
  reported_ = true;
  callback_.error(reason.c_str());
  adt::log(adt::LOG_WARN,
           "SMTP error: \"" + reason + "\" for (server:" + server_.host + ":" +
               std::to_string(server_.port) + ",account:" + account_ + ",login:" + login_ +
               ",password:" + (password_.empty() ? "" : "********") + ") trace:\r\n" + trace_);
}

void SmtpMessage::describe(adt::String& out) const {
  out += "SmtpMessage(" + std::to_string(step_) + ",subject:" + subject_ + ")";
}

}  // namespace notify
