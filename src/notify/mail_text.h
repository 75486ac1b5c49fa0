// Text helpers of the mail conversation: Base64, header-safe values, dates, transparency.
#pragma once
#include "adt/text.h"
#include "platform/clock.h"

namespace notify {

// RFC 4648 Base64 with padding.
adt::String base64(const adt::String& bytes);
// The value with CR and LF removed, so it cannot start a header or end the DATA section; runs
// of them become one blank when `blank` is set.
adt::String withoutLineBreaks(const adt::String& value, bool blank);
// A header value: as it is when plain ASCII, otherwise one RFC 2047 encoded word (UTF-8,
// Base64) per piece of at most 45 bytes, split between characters.
adt::String headerText(const adt::String& utf8);
// "Sun, 06 Dec 2026 21:40:05 +0300".
adt::String mailDate(const platform::LocalTime& t, int utcOffsetMinutes);
// Line ends made CR LF and every line starting with a period given a second one, so that no
// line of the body can end the DATA section.
adt::String transparentBody(const std::string& bytes);

}  // namespace notify
