// Dispatch of administrator notifications: the signed body, one mail to every mail recipient
// and one instant message to every XMPP recipient, and, for the automatic notifications, a
// bound on how many of them a storm of failures makes.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "adt/dispatcher.h"
#include "notify/host_lookup.h"
#include "notify/smtp_message.h"
#include "notify/xmpp_message.h"
#include "platform/clock.h"

namespace notify {

struct NotifySettings {
  MailSettings mail;     // recipients: the admin.mail addresses
  XmppSettings xmpp;     // recipients: the admin.xmpp JIDs
  adt::String serverId;  // shown in the signature when not empty
  adt::String hostName;  // the machine's name in the signature and in EHLO
  adt::String version;   // "5.2.430"
};

// Owned by the server (or by the mail check), next to the dispatcher it registers the
// conversations with; both must outlive nothing the other needs: conversations hold no pointer
// back here. Thread: the dispatcher's (main) thread only.
//
// send() starts a delivery at once (for a caller waiting on the outcome). notify() queues an
// automatic notification: notifications arriving within coalesceMs of the first queued one go
// out as one mail (and one instant message), at most perMinute leave in any minute, at most
// queueLimit notifications wait, and those dropped beyond are counted in the next one. A
// failure is logged once (the conversation logs its own failures).
class Notifier {
 public:
  struct Limits {
    uint64_t coalesceMs = 3000;
    size_t perMinute = 6;
    size_t queueLimit = 32;
    // Longer caller texts are cut (a notification is read by a person).
    size_t maxTextBytes = 65536;
    uint64_t smtpTimeoutMs = SmtpMessage::kDefaultTimeoutMs;
    uint64_t xmppTimeoutMs = XmppMessage::kDefaultTimeoutMs;
    // Deliveries waiting for their server's name at most.
    size_t maxLookups = 16;
  };

  Notifier(adt::ChannelDispatcher& dispatcher, platform::Clock& clock);
  Notifier(adt::ChannelDispatcher& dispatcher, platform::Clock& clock, const Limits& limits);
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  void configure(const NotifySettings& settings) { settings_ = settings; }
  const NotifySettings& settings() const { return settings_; }
  bool hasMailRecipients() const { return !settings_.mail.recipients.empty(); }
  bool hasXmppRecipients() const { return !settings_.xmpp.recipients.empty(); }
  bool hasRecipients() const { return hasMailRecipients() || hasXmppRecipients(); }

  // The caller's text followed by the signature (version, host, identifier, sending time).
  adt::String body(const adt::String& text) const;

  // One instant message to every XMPP recipient and one mail to every mail recipient, now.
  // The callback (when given) follows the mail; with XMPP recipients only it follows the
  // instant messages; without any recipient it is told "не настроено ни одного адреса для
  // отправки". Throws adt::Exception when the settings cannot make a delivery (no server, a
  // malformed server) and the callback was not told otherwise; an XMPP setting that fails
  // while mail can still go out is logged at WARN instead. Every later failure (name,
  // connect, dialogue) reaches the callback it follows and is logged once.
  void send(const adt::String& subject, const adt::String& text, SmtpCallBack* callback);
  // One mail with exactly this body (no signature) to every mail recipient; throws as send().
  void deliver(const adt::String& subject, const adt::String& fullBody, SmtpCallBack* callback);
  // An automatic notification (see the class comment). Does nothing without recipients.
  void notify(const adt::String& subject, const adt::String& text);
  // Sends what is due and connects the deliveries whose server name was found. Call about
  // every 100 ms.
  void poll();
  // Notifications queued or deliveries waiting for a name.
  bool busy() const { return !queue_.empty() || !lookups_.empty(); }
  size_t dropped() const { return dropped_; }

 private:
  struct Note {
    adt::String subject, text;
  };
  struct Lookup {
    std::unique_ptr<HostLookup> lookup;
    std::unique_ptr<Conversation> conversation;
  };
  void start(std::unique_ptr<Conversation> conversation);
  void connectAndRegister(std::unique_ptr<Conversation> conversation, uint32_t address);
  void flush(uint64_t now);

  adt::ChannelDispatcher& dispatcher_;
  platform::Clock& clock_;
  const Limits limits_;
  NotifySettings settings_;
  std::vector<Lookup> lookups_;
  std::deque<Note> queue_;
  uint64_t firstQueuedMs_ = 0;
  size_t dropped_ = 0;
  std::deque<uint64_t> sentMs_;  // automatic mails of the last minute
};

}  // namespace notify
