#include "notify/mail_text.h"

namespace notify {

adt::String base64(const adt::String& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  adt::String out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

adt::String withoutLineBreaks(const adt::String& value, bool blank) {
  adt::String out;
  bool inBreak = false;
  for (char c : value) {
    if (c == '\r' || c == '\n') {
      if (blank && !inBreak) out += ' ';
      inBreak = true;
      continue;
    }
    inBreak = false;
    out += c;
  }
  return out;
}

adt::String headerText(const adt::String& utf8) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<uint8_t>(c) < 128;
  if (ascii) return utf8;
  adt::String out;
  size_t i = 0;
  while (i < utf8.size()) {
    size_t end = i + 45 < utf8.size() ? i + 45 : utf8.size();
    // Never split a character: back off over continuation bytes.
    while (end < utf8.size() && end > i + 1 && (static_cast<uint8_t>(utf8[end]) & 0xC0) == 0x80) {
      --end;
    }
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?B?" + base64(utf8.substr(i, end - i)) + "?=";
    i = end;
  }
  return out;
}

adt::String mailDate(const platform::LocalTime& t, int utcOffsetMinutes) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int weekday = t.weekday >= 1 && t.weekday <= 7 ? t.weekday : 1;
  const int month = t.month >= 1 && t.month <= 12 ? t.month : 1;
  const int offset = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
  return adt::format("%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", kDays[weekday - 1], t.day,
                     kMonths[month - 1], t.year, t.hour, t.minute, t.second,
                     utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
}

adt::String transparentBody(const std::string& bytes) {
  adt::String out;
  out.reserve(bytes.size() + bytes.size() / 32 + 2);
  bool lineStart = true;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      // CR LF, a lone CR and a lone LF all end one line.
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    lineStart = false;
    out += c;
  }
  return out;
}

}  // namespace notify
