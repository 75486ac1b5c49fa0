#include <errno.h>
#include <string.h>

#include "platform/error.h"

namespace platform {

int lastError() { return errno; }

std::string systemErrorText(int code) {
  char buf[256];
  // GNU strerror_r returns the message pointer (may or may not use buf).
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string("error ") + std::to_string(code);
}

bool isAlreadyExists(int code) { return code == EEXIST; }

}  // namespace platform
