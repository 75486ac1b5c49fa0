#include "notify/xmpp_message.h"

#include "adt/exception.h"
#include "adt/log.h"

namespace notify {
namespace {

// "a@b/r" -> "b"; "" without '@'.
adt::String domainOf(const adt::String& jid) {
  const size_t at = jid.find('@');
  if (at == adt::String::npos) return "";
  const size_t slash = jid.find('/', at);
  return jid.substr(at + 1, slash == adt::String::npos ? adt::String::npos : slash - at - 1);
}

}  // namespace

XmppMessage::XmppMessage(const XmppSettings& settings, const adt::String& body,
                         const adt::String& subject, SmtpCallBack* callback,
                         platform::Clock& clock, uint64_t timeoutMs)
    : Conversation("XMPP", clock, timeoutMs),
      login_(settings.login),
      password_(settings.password) {
  if (settings.server.empty()) throw adt::Exception("Не задан XMPP-сервер");
  if (!setServer(settings.server, 5222)) {
    throw adt::Exception("Неверно задан XMPP-сервер \"" + settings.server + "\"");
  }
  XmppStreamText text;
  text.domain = domainOf(settings.account);
  if (text.domain.empty()) text.domain = domainOf(settings.login);
  if (text.domain.empty()) text.domain = server().host;
  text.user = settings.login.substr(0, settings.login.find('@'));
  text.password = settings.password;
  text.recipients = settings.recipients;
  text.subject = subject;
  text.body = body;
  pieces_ = text.pieces();
  for (size_t i = 0; i < pieces_.size(); ++i) {
    const adt::String& p = pieces_[i];
    // The login piece (third) carries the password: the transcript masks it.
    adt::String shown = i == 2 && !password_.empty()
                            ? p.substr(0, p.find("<password>") + 10) + "********" +
                                  p.substr(p.find("</password>"))
                            : p;
    addTrace(">> " + (shown.size() > 512 ? shown.substr(0, 512) + "..." : shown) + "\r\n");
    send(new adt::CopyBuffer(p.data(), p.size()));
  }
  this->callback().attach(callback);
}

XmppMessage::~XmppMessage() { abandon(); }

int XmppMessage::step() const {
  if (reader_.login() == XmppReplyReader::Login::Accepted) return 2;
  return reader_.streamOpened() ? 1 : 0;
}

void XmppMessage::onData(adt::Buffer* buffer) {
  std::unique_ptr<adt::Buffer> owned(buffer);
  if (reported()) return;
  const char* data = reinterpret_cast<const char*>(buffer->begin());
  addTrace("<< " + traced(adt::String(data, buffer->size())) + "\r\n");
  try {
    reader_.feed(data, buffer->size());
    judge();
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void XmppMessage::judge() {
  if (!reader_.streamError().empty()) {
    fail("XMPP-сервер прервал поток (" + reader_.streamError() + ")");
    return;
  }
  if (reader_.login() == XmppReplyReader::Login::Refused) {
    fail("XMPP-сервер отклонил вход (" + reader_.loginError() + ")");
    return;
  }
  if (!reader_.streamClosed()) return;
  if (!reader_.bounced().empty()) {
    adt::String list;
    for (const adt::String& b : reader_.bounced()) list += (list.empty() ? "" : ", ") + b;
    fail("сообщения не доставлены: " + list);
    return;
  }
  if (reader_.login() != XmppReplyReader::Login::Accepted) {
    fail("XMPP-сервер закрыл поток, не ответив на вход");
    return;
  }
  succeed();
  close();
}

void XmppMessage::logFailure(const adt::String& reason) {
  adt::log(adt::LOG_WARN, "XMPP error: \"" + reason + "\" for (server:" + serverText() +
                              ",login:" + login_ +
                              ",password:" + (password_.empty() ? "" : "********") +
                              ") trace:\r\n" + trace());
}

}  // namespace notify
