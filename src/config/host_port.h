// The value syntax of the mail and instant-message server settings: "host" or "host:port".
#pragma once
#include <cstdint>

#include "adt/text.h"

namespace config {

struct HostPort {
  adt::String host;
  uint16_t port = 0;
};

// Splits "host" or "host:port" (blanks around either part ignored). Without a port,
// `defaultPort` is taken. False for an empty host, a port that is not a decimal number from 1 to
// 65535, or more than one colon.
bool parseHostPort(const adt::String& text, uint16_t defaultPort, HostPort* out);

}  // namespace config
