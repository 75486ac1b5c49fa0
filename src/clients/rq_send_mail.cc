#include "clients/rq_send_mail.h"

#include "adt/exception.h"
#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/client.h"
#include "clients/client_host.h"

namespace clients {
namespace {

constexpr uint8_t kTagSubject = 1;
constexpr uint8_t kTagSend = 9;
constexpr uint8_t kTagError = 13;

}  // namespace

RqSendMail::RqSendMail(Client& client, adt::NioTag& element) : Request(client) {
  text_ = element.readString();
}

bool RqSendMail::onMessage(adt::NioTag& element) {
  if (state_ != kCollecting) adt::tagged::throwInvalidTag(kTagSend, element.tag());
  if (element.tag() == kTagSubject) {
    subject_ = element.readString();
    return false;
  }
  if (element.tag() != kTagSend) adt::tagged::throwInvalidTag(kTagSend, element.tag());
  state_ = kSending;
  try {
    client().host().sendMail(subject_, text_, this);
  } catch (const std::exception& e) {
    // The settings could not make a delivery: the console learns why.
    if (state_ == kSending) onError(e.what());
  }
  return state_ == kDone;
}

bool RqSendMail::poll() { return state_ == kDone; }

bool RqSendMail::holdsConnection(uint64_t) { return state_ == kSending; }

void RqSendMail::onSuccess() {
  if (state_ != kSending) return;
  adt::MemoryTaggedWriter reply;
  reply.writeTag(kTagSend, nullptr, 0);
  client().send(reply);
  state_ = kDone;
}

void RqSendMail::onError(const char* message) {
  if (state_ != kSending) return;
  adt::MemoryTaggedWriter reply;
  reply.writeString(kTagError, message);
  client().send(reply);
  state_ = kDone;
}

void RqSendMail::describe(adt::String& out) const {
  out += "RqSendMessage(" + std::to_string(state_) + ")";
}

}  // namespace clients
