// The text of the instant-message stream: what the client sends, and a reader of what the
// server answers, for just the stanzas that tell whether the messages went out.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "adt/text.h"

namespace notify {

// Element text: "&", "<" and ">" escaped.
adt::String xmlText(const adt::String& value);
// An attribute value between apostrophes: "&", "<" and "'" escaped.
adt::String xmlAttribute(const adt::String& value);

// The client's side of one stream, piece by piece, as queued.
struct XmppStreamText {
  adt::String domain;  // the server's domain, the stream's "to"
  adt::String user, password;
  std::vector<adt::String> recipients;
  adt::String subject, body;
  // The pieces: declaration, stream header, legacy login, one message per recipient, close.
  std::vector<adt::String> pieces() const;
};

// Reads the server's side of the stream as it arrives and notes what matters: the answer to
// the login, error stanzas bounced for messages, a stream error and the end of the stream.
// Text content is skipped. Input beyond kMaxInput bytes in all is refused.
class XmppReplyReader {
 public:
  static constexpr size_t kMaxInput = 16384;
  enum class Login { Unanswered, Accepted, Refused };

  // Takes more of the server's bytes. Throws adt::Exception for malformed or excessive input.
  void feed(const char* data, size_t n);

  Login login() const { return login_; }
  // The login error's condition ("not-authorized"), once refused.
  const adt::String& loginError() const { return loginError_; }
  // "<from> (<condition>)" for each message bounced with an error.
  const std::vector<adt::String>& bounced() const { return bounced_; }
  // The stream error's condition ("host-unknown"); empty without one.
  const adt::String& streamError() const { return streamError_; }
  bool streamOpened() const { return opened_; }
  bool streamClosed() const { return closed_; }

 private:
  void tag(const std::string& raw);
  void startElement(const std::string& name, const std::string& attrs, bool empty);
  void endElement();

  std::string pending_;
  size_t total_ = 0;
  int depth_ = 0;  // 1 inside the stream, 2 inside a stanza
  bool opened_ = false, closed_ = false;
  // The stanza being read at depth 2.
  std::string stanza_, type_, id_, from_;
  bool inError_ = false;
  int errorDepth_ = 0;
  std::string condition_;
  Login login_ = Login::Unanswered;
  adt::String loginError_, streamError_;
  std::vector<adt::String> bounced_;
};

}  // namespace notify
