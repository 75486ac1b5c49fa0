#include "adt/text.h"

#include <zlib.h>

#include <cstdio>

namespace adt {
namespace {

// Unicode code points of Windows-1251 bytes 0x80..0xBF; 0xC0..0xFF map to U+0410..U+044F.
// 0x98 is unassigned in the code page; AM reads it as U+0098.
constexpr uint16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

uint32_t codePointOf(uint8_t b) {
  if (b < 0x80) return b;
  if (b >= 0xC0) return 0x0410 + (b - 0xC0);
  return kHigh[b - 0x80];
}

int byteOf(uint32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(0xC0 + (cp - 0x0410));
  if (cp == 0xFFFD) return 0x98;
  for (int i = 0; i < 64; ++i) {
    if (kHigh[i] == cp) return 0x80 + i;
  }
  return '?';
}

void appendUtf8(String& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string toCp1251(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const uint8_t b = static_cast<uint8_t>(in[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    int len = b >= 0xF0 && b < 0xF8 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
    uint32_t cp = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= in.size();
    for (int k = 1; ok && k < len; ++k) {
      const uint8_t c = static_cast<uint8_t>(in[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (!ok) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(byteOf(cp)));
    i += len;
  }
  return out;
}

String fromCp1251(std::string_view in) {
  String out;
  out.reserve(in.size() + in.size() / 2);
  for (char c : in) appendUtf8(out, codePointOf(static_cast<uint8_t>(c)));
  return out;
}

uint64_t crc64we(const void* data, size_t n) {
  static const auto table = [] {
    struct T {
      uint64_t v[256];
    } t{};
    for (uint64_t i = 0; i < 256; ++i) {
      uint64_t crc = i << 56;
      for (int k = 0; k < 8; ++k) {
        crc = (crc & 0x8000000000000000ull) ? (crc << 1) ^ 0x42F0E1EBA9EA3693ull : crc << 1;
      }
      t.v[i] = crc;
    }
    return t;
  }();
  uint64_t crc = ~0ull;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) crc = table.v[((crc >> 56) ^ p[i]) & 0xFF] ^ (crc << 8);
  return ~crc;
}

uint32_t adler32(const void* data, size_t n) {
  uLong a = ::adler32(0L, Z_NULL, 0);
  const auto* p = static_cast<const Bytef*>(data);
  while (n > 0) {
    const uInt chunk = n > 0x40000000 ? 0x40000000 : static_cast<uInt>(n);
    a = ::adler32(a, p, chunk);
    p += chunk;
    n -= chunk;
  }
  return static_cast<uint32_t>(a);
}

String versionText(uint32_t v) {
  const unsigned build = v & 0xFFFF;
  if (build == 0 || build == 0xFFFF) return format("%d.%d", int(v >> 24), int((v >> 16) & 0xFF));
  return format("%d.%d.%d", int(v >> 24), int((v >> 16) & 0xFF), int(build));
}

String vformat(const char* fmt, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return String();
  if (static_cast<size_t>(n) < sizeof small) return String(small, static_cast<size_t>(n));
  String out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

String format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  String out = vformat(fmt, args);
  va_end(args);
  return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace adt
