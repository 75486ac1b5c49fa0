#include "notify/notifier.h"

#include "adt/counters.h"
#include "adt/exception.h"
#include "adt/log.h"

namespace notify {

Notifier::Notifier(adt::ChannelDispatcher& dispatcher, platform::Clock& clock)
    : Notifier(dispatcher, clock, Limits{}) {}

Notifier::Notifier(adt::ChannelDispatcher& dispatcher, platform::Clock& clock, const Limits& limits)
    : dispatcher_(dispatcher), clock_(clock), limits_(limits) {}

Notifier::~Notifier() {
  // Deliveries still waiting for a name end here; each tells its callback and logs.
  lookups_.clear();
  if (!queue_.empty()) {
    adt::log(adt::LOG_WARN,
             "Оповещения не отправлены при остановке: " + std::to_string(queue_.size()) +
                 " (первое: " + queue_.front().subject + ")");
  }
}

adt::String Notifier::body(const adt::String& text) const {
  adt::String out = text.size() > limits_.maxTextBytes
                        ? text.substr(0, limits_.maxTextBytes) + "\n...(сокращено)"
                        : text;
  out +=
      "\n\n--\nС уважением, AM v" + settings_.version + " [" + settings_.hostName.substr(0, 1024);
  if (!settings_.serverId.empty()) out += ", id:" + settings_.serverId;
  out += "]";
  const platform::LocalTime t = clock_.localNow();
  out += adt::format("\nотправлено: %04d/%02d/%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                     t.hour, t.minute, t.second, t.millisecond);
  return out;
}

void Notifier::send(const adt::String& subject, const adt::String& text, SmtpCallBack* callback) {
  adt::log(adt::LOG_INFO, "AMServer::sendMessage start");
  const adt::String full = body(text);
  const bool mail = hasMailRecipients();
  if (hasXmppRecipients()) {
    adt::log(adt::LOG_INFO, "AMServer::sendMessage offer xmpp message");
    try {
      // Without mail the caller waits on the instant messages.
      start(std::make_unique<XmppMessage>(settings_.xmpp, full, subject, mail ? nullptr : callback,
                                          clock_, limits_.xmppTimeoutMs));
    } catch (const std::exception& e) {
      // A bad instant-message setting must not keep the mail from going out.
      if (!mail) throw;
      adt::log(adt::LOG_WARN, "XMPP error: \"" + adt::String(e.what()) +
                                  "\" for (server:" + settings_.xmpp.server + ")");
    }
  }
  if (mail) {
    adt::log(adt::LOG_INFO, "AMServer::sendMessage offer smtp message");
    deliver(subject, full, callback);
  } else if (!hasXmppRecipients() && callback) {
    callback->onError("не настроено ни одного адреса для отправки");
  }
  adt::log(adt::LOG_INFO, "AMServer::sendMessage finished");
}

void Notifier::deliver(const adt::String& subject, const adt::String& fullBody,
                       SmtpCallBack* callback) {
  auto mail =
      std::make_unique<SmtpMessage>(settings_.mail, callback, clock_, limits_.smtpTimeoutMs);
  mail->setSubject(subject);
  mail->setBody(fullBody);
  mail->setHelloName(settings_.hostName);
  start(std::move(mail));
}

void Notifier::start(std::unique_ptr<Conversation> conversation) {
  if (adt::Socket::isDottedQuad(conversation->server().host)) {
    uint32_t address = 0;
    try {
      address = adt::Socket::resolve(conversation->server().host);
    } catch (const std::exception& e) {
      conversation->fail(e.what());
      return;
    }
    connectAndRegister(std::move(conversation), address);
    return;
  }
  if (lookups_.size() >= limits_.maxLookups) {
    // Reported through the conversation: callback and one WARN line.
    conversation->fail("слишком много оповещений ждут имени сервера");
    return;
  }
  Lookup l;
  l.lookup = std::make_unique<HostLookup>(conversation->server().host);
  l.conversation = std::move(conversation);
  lookups_.push_back(std::move(l));
}

void Notifier::connectAndRegister(std::unique_ptr<Conversation> conversation, uint32_t address) {
  try {
    conversation->connect(address);
  } catch (const std::exception& e) {
    conversation->fail(e.what());
    return;
  }
  // add() destroys the channel when it fails; the destructor reports the failure.
  dispatcher_.add(conversation.release());
}

void Notifier::notify(const adt::String& subject, const adt::String& text) {
  if (!hasRecipients()) return;
  if (queue_.size() >= limits_.queueLimit) {
    ++dropped_;
    return;
  }
  if (queue_.empty()) firstQueuedMs_ = clock_.nowMs();
  queue_.push_back(Note{subject, text});
}

void Notifier::poll() {
  for (size_t i = 0; i < lookups_.size();) {
    if (!lookups_[i].lookup->done()) {
      ++i;
      continue;
    }
    Lookup l = std::move(lookups_[i]);
    lookups_.erase(lookups_.begin() + static_cast<std::ptrdiff_t>(i));
    const adt::String error = l.lookup->error();
    if (!error.empty()) {
      l.conversation->fail(error);
      continue;
    }
    connectAndRegister(std::move(l.conversation), l.lookup->address());
  }
  const uint64_t now = clock_.nowMs();
  while (!sentMs_.empty() && now - sentMs_.front() >= 60000) sentMs_.pop_front();
  if (!queue_.empty() && now - firstQueuedMs_ >= limits_.coalesceMs &&
      sentMs_.size() < limits_.perMinute) {
    flush(now);
  }
}

void Notifier::flush(uint64_t now) {
  adt::String subject = queue_.front().subject;
  adt::String text;
  if (queue_.size() == 1) {
    text = queue_.front().text;
  } else {
    subject += " (и ещё " + std::to_string(queue_.size() - 1) + ")";
    for (const Note& n : queue_) {
      if (!text.empty()) text += "\n\n";
      text += n.subject + "\n" + n.text;
    }
  }
  if (dropped_) {
    text += "\n\nпропущено оповещений (слишком много за минуту): " + std::to_string(dropped_);
  }
  queue_.clear();
  dropped_ = 0;
  sentMs_.push_back(now);
  try {
    send(subject, text, nullptr);
  } catch (const std::exception& e) {
    ++adt::managerCounters().notificationFailures;
    adt::log(adt::LOG_WARN, "Оповещение \"" + subject + "\" не отправлено (сервер " +
                                (hasMailRecipients() ? settings_.mail.server
                                                     : settings_.xmpp.server) +
                                "): " + e.what());
  }
}

}  // namespace notify
