#include "data.h"

namespace testsupport {

std::vector<uint8_t> patternBytes(size_t n, uint32_t origin) {
  std::vector<uint8_t> out(n);
  uint32_t rng = origin;
  for (size_t i = 0; i < n; ++i) {
    rng = rng * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(rng >> 16);
  }
  return out;
}

std::string patternText(size_t n, uint32_t origin) {
  const std::vector<uint8_t> bytes = patternBytes(n, origin);
  return std::string(bytes.begin(), bytes.end());
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1)) ++n;
  return n;
}

std::string hexOf(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

}  // namespace testsupport
