#include "notify/xmpp_stream.h"

#include "adt/exception.h"

namespace notify {
namespace {

constexpr const char* kLoginId = "auth";

// The value of attribute `name` in a start tag's attribute text (either quote), "" if absent.
std::string attribute(const std::string& attrs, const std::string& name) {
  size_t i = 0;
  while (i < attrs.size()) {
    while (i < attrs.size() && (attrs[i] == ' ' || attrs[i] == '\t' || attrs[i] == '\r' ||
                                attrs[i] == '\n')) {
      ++i;
    }
    const size_t eq = attrs.find('=', i);
    if (eq == std::string::npos || eq + 1 >= attrs.size()) return "";
    std::string key = attrs.substr(i, eq - i);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    size_t v = eq + 1;
    while (v < attrs.size() && attrs[v] == ' ') ++v;
    if (v >= attrs.size()) return "";
    const char quote = attrs[v];
    const size_t close = attrs.find(quote, v + 1);
    if ((quote != '\'' && quote != '"') || close == std::string::npos) return "";
    if (key == name) return attrs.substr(v + 1, close - v - 1);
    i = close + 1;
  }
  return "";
}

}  // namespace

// Control characters other than tab, LF and CR cannot appear in XML at all: a server would
// end the stream over one of them.
static bool allowed(char c) {
  return static_cast<uint8_t>(c) >= 32 || c == '\t' || c == '\n' || c == '\r';
}

// Escapes for XML: element text needs "&", "<" and ">" escaped, a single-quoted attribute
// "&", "<" and "'"; characters XML cannot carry are left out.
static adt::String xmlEscaped(const adt::String& value, bool attribute) {
  adt::String out;
  for (char c : value) {
    if (!allowed(c)) continue;
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>' && !attribute) {
      out += "&gt;";
    } else if (c == '\'' && attribute) {
      out += "&apos;";
    } else {
      out += c;
    }
  }
  return out;
}

adt::String xmlText(const adt::String& value) { return xmlEscaped(value, false); }

adt::String xmlAttribute(const adt::String& value) { return xmlEscaped(value, true); }

std::vector<adt::String> XmppStreamText::pieces() const {
  std::vector<adt::String> out;
  out.push_back("<?xml version='1.0' encoding='UTF-8'?>");
  out.push_back(
      "<stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' to='" +
      xmlAttribute(domain) + "' version='1.0'>");
  out.push_back(adt::String("<iq type='set' id='") + kLoginId +
                "'><query xmlns='jabber:iq:auth'><username>" + xmlText(user) +
                "</username><password>" + xmlText(password) +
                "</password><resource>office</resource></query></iq>");
  const adt::String text = xmlText(subject.empty() ? body : subject + "\n\n" + body);
  for (const adt::String& r : recipients) {
    out.push_back("<message type='chat' to='" + xmlAttribute(r) + "'><body>" + text +
                  "</body></message>");
  }
  out.push_back("</stream:stream>");
  return out;
}

void XmppReplyReader::feed(const char* data, size_t n) {
  total_ += n;
  if (total_ > kMaxInput) throw adt::Exception("слишком длинный ответ XMPP-сервера");
  pending_.append(data, n);
  size_t pos = 0;
  for (;;) {
    const size_t open = pending_.find('<', pos);
    if (open == std::string::npos) {
      pos = pending_.size();
      break;
    }
    // A '>' inside a quoted attribute value does not end the tag.
    size_t end = open + 1;
    char quote = 0;
    for (; end < pending_.size(); ++end) {
      const char c = pending_[end];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (end >= pending_.size()) {
      pos = open;
      break;
    }
    tag(pending_.substr(open + 1, end - open - 1));
    pos = end + 1;
  }
  pending_.erase(0, pos);
}

void XmppReplyReader::tag(const std::string& raw) {
  if (raw.empty()) throw adt::Exception("XMPP-сервер прислал неверный XML");
  if (raw[0] == '?' || raw[0] == '!') return;  // declaration, comment
  if (raw[0] == '/') {
    endElement();
    return;
  }
  const bool empty = raw.back() == '/';
  const std::string body = empty ? raw.substr(0, raw.size() - 1) : raw;
  const size_t space = body.find_first_of(" \t\r\n");
  const std::string name = body.substr(0, space);
  startElement(name, space == std::string::npos ? "" : body.substr(space), empty);
}

void XmppReplyReader::startElement(const std::string& name, const std::string& attrs,
                                   bool empty) {
  if (depth_ == 0) {
    if (name != "stream:stream") throw adt::Exception("XMPP-сервер не открыл поток");
    opened_ = true;
    depth_ = 1;
    return;
  }
  ++depth_;
  if (depth_ == 2) {
    stanza_ = name;
    type_ = attribute(attrs, "type");
    id_ = attribute(attrs, "id");
    from_ = attribute(attrs, "from");
    inError_ = false;
    condition_.clear();
  } else if (stanza_ == "stream:error" && depth_ == 3) {
    if (condition_.empty() && name != "text") condition_ = name;
  } else if (depth_ == 3 && name == "error") {
    inError_ = true;
    errorDepth_ = depth_;
  } else if (inError_ && depth_ == errorDepth_ + 1) {
    if (condition_.empty() && name != "text") condition_ = name;
  }
  if (empty) endElement();
}

void XmppReplyReader::endElement() {
  if (depth_ == 1) {
    closed_ = true;
    depth_ = 0;
    return;
  }
  if (depth_ <= 0) throw adt::Exception("XMPP-сервер прислал неверный XML");
  if (depth_ == 2) {
    const adt::String condition = condition_.empty() ? std::string("?") : condition_;
    if (stanza_ == "stream:error") {
      streamError_ = condition;
    } else if (stanza_ == "iq" && id_ == kLoginId) {
      if (type_ == "result") {
        login_ = Login::Accepted;
      } else if (type_ == "error") {
        login_ = Login::Refused;
        loginError_ = condition;
      }
    } else if (stanza_ == "message" && type_ == "error") {
      bounced_.push_back(from_ + " (" + condition + ")");
    }
  }
  if (inError_ && depth_ == errorDepth_) inError_ = false;
  --depth_;
}

}  // namespace notify
