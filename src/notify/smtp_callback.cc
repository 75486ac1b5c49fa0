#include "notify/smtp_callback.h"

namespace notify {

SmtpCallBack::~SmtpCallBack() {
  if (link_) link_->callback_ = nullptr;
}

void CallBackLink::attach(SmtpCallBack* callback) {
  detach();
  if (!callback) return;
  if (callback->link_) callback->link_->callback_ = nullptr;
  callback->link_ = this;
  callback_ = callback;
}

void CallBackLink::takeFrom(CallBackLink& other) {
  SmtpCallBack* cb = other.callback_;
  other.detach();
  attach(cb);
}

void CallBackLink::detach() {
  if (callback_) callback_->link_ = nullptr;
  callback_ = nullptr;
}

void CallBackLink::success() {
  SmtpCallBack* cb = callback_;
  detach();
  if (cb) cb->onSuccess();
}

void CallBackLink::error(const char* message) {
  SmtpCallBack* cb = callback_;
  detach();
  if (cb) cb->onError(message);
}

}  // namespace notify
