#include "config/host_port.h"

namespace config {
namespace {

adt::String trimmed(const adt::String& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

}  // namespace

bool parseHostPort(const adt::String& text, uint16_t defaultPort, HostPort* out) {
  const size_t colon = text.find(':');
  HostPort r;
  r.host = trimmed(text.substr(0, colon));
  r.port = defaultPort;
  if (r.host.empty()) return false;
  if (colon != adt::String::npos) {
    const adt::String digits = trimmed(text.substr(colon + 1));
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return false;
    r.port = static_cast<uint16_t>(port);
  }
  *out = r;
  return true;
}

}  // namespace config
