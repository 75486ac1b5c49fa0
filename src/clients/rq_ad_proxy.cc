#include "clients/rq_ad_proxy.h"

#include <string>
#include <vector>

#include "adt/exception.h"
#include "adt/tagged_format.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "clients/client.h"
#include "clients/client_host.h"

namespace clients {
namespace {

constexpr uint8_t kTagStep = 1;
constexpr uint8_t kTagAccount = 3;
constexpr uint8_t kTagToken = adt::tagged::kBlobTag;

}  // namespace

namespace {

// "<head>" or, when the package said why, "<head> (<why>)".
adt::String failure(const std::string& head, const std::string& why) {
  return why.empty() ? head : head + " (" + why + ")";
}

}  // namespace

RqADProxy::RqADProxy(Client& client, adt::NioTag& element) : Request(client) {
  platform::NegotiateProvider* provider = client.host().negotiate();
  std::string why;
  const int32_t status = provider ? provider->open(context_, why) : platform::kSecPackageNotFound;
  if (status != platform::kSecOk || !context_) {
    throw adt::Exception(
        failure(adt::format("AcquireCredentialsHandle: securityStatus=%d", status), why));
  }
  if (element.tag() == kTag) step(element);
}

RqADProxy::~RqADProxy() = default;

bool RqADProxy::onMessage(adt::NioTag& element) {
  if (element.tag() != kTag) adt::tagged::throwInvalidTag(kTag, element.tag());
  step(element);
  return false;  // poll() finishes the request, after the reply has been queued
}

void RqADProxy::step(adt::NioTag& element) {
  adt::Bytes nested;
  element.readBytes(nested);
  adt::TaggedBufferReader in(nested);
  for (uint8_t tag = in.nextTag(); tag != kTagStep; tag = in.nextTag()) {
    if (tag == 0) throw adt::Exception("TAG_ADA_ATHORIZATION_DATA not found");
  }
  if (in.readInt() > stepCount_) throw adt::Exception("no>stepCount");
  if (const uint8_t tag = in.nextTag(); tag != kTagToken) {
    adt::tagged::throwInvalidTag(kTagToken, tag);
  }
  adt::Bytes token;
  in.readBytes(token);

  if (lastStatus_ != platform::kSecContinueNeeded) {
    throw adt::Exception(adt::format("securityStatus0=%d", lastStatus_));
  }
  std::vector<uint8_t> output;
  lastStatus_ = context_->accept(
      requirements_ | platform::kAscReqAllocateMemory | platform::kAscReqExtendedError,
      token.data(), token.size(), output);
  if (lastStatus_ != platform::kSecOk && lastStatus_ != platform::kSecContinueNeeded) {
    throw adt::Exception(
        failure(adt::format("securityStatus1=%d", lastStatus_), context_->failureText()));
  }

  adt::MemoryTaggedWriter message;
  message.writeInt(kTagStep, stepCount_);
  if (!output.empty()) message.writeTag(kTagToken, output.data(), output.size());
  ++stepCount_;
  if (lastStatus_ == platform::kSecOk) {
    std::string account;
    if (const int32_t status = context_->accountName(account); status != platform::kSecOk) {
      throw adt::Exception(failure(
          adt::format("QuerySecurityContextToken: securityStatus=%d", status),
          context_->failureText()));
    }
    // The system's own 8-bit text, passed on unconverted.
    message.writeTag(kTagAccount, account.data(), account.size());
    finished_ = true;
  }
  adt::MemoryTaggedWriter reply;
  reply.writeNested(kTag, message);
  client().send(reply);
}

void RqADProxy::describe(adt::String& out) const {
  out += "RqADProxy: ";
  out += std::to_string(stepCount_);
}

}  // namespace clients
