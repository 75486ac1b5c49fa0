// The caller's view of one mail delivery, and the two-way link that joins it to the delivery.
#pragma once

namespace notify {

class CallBackLink;

// Told the outcome of one delivery, once. Either side may be destroyed first: the link is cut
// then, so a delivery never calls a destroyed callback. Main thread only.
class SmtpCallBack {
 public:
  SmtpCallBack() = default;
  SmtpCallBack(const SmtpCallBack&) = delete;
  SmtpCallBack& operator=(const SmtpCallBack&) = delete;

  virtual void onSuccess() = 0;
  virtual void onError(const char* message) = 0;

 protected:
  // Cuts the link to a delivery still under way.
  virtual ~SmtpCallBack();

 private:
  friend class CallBackLink;
  CallBackLink* link_ = nullptr;
};

// The delivery's end of the link: held by whoever currently carries the delivery (the
// notifier while the server's name is looked up, then the SMTP conversation). Reports at most
// once; after a report, or when the callback is gone, it holds nothing.
class CallBackLink {
 public:
  CallBackLink() = default;
  explicit CallBackLink(SmtpCallBack* callback) { attach(callback); }
  ~CallBackLink() { detach(); }
  CallBackLink(const CallBackLink&) = delete;
  CallBackLink& operator=(const CallBackLink&) = delete;

  // Links `callback` (null: none), cutting a previous link (also the callback's own).
  void attach(SmtpCallBack* callback);
  // Moves whatever `other` links to here.
  void takeFrom(CallBackLink& other);
  void detach();
  bool linked() const { return callback_ != nullptr; }

  void success();
  void error(const char* message);

 private:
  friend class SmtpCallBack;
  SmtpCallBack* callback_ = nullptr;
};

}  // namespace notify
