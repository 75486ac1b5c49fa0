// Text and small published algorithms. Text inside AM is UTF-8 (adt::String); Windows-1251 is
// used only at the boundaries (tagged streams, log files, settings files, agent command lines).
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace adt {

using String = std::string;          // UTF-8 text
using Bytes = std::vector<uint8_t>;  // raw bytes

// UTF-8 -> Windows-1251. A character Windows-1251 cannot hold becomes '?'; U+FFFD (and U+0098)
// become byte 0x98. Malformed UTF-8 bytes become '?' one byte at a time.
std::string toCp1251(std::string_view utf8);

// Windows-1251 -> UTF-8. Byte 0x98, unassigned in the code page, becomes U+0098.
String fromCp1251(std::string_view cp1251);

// CRC-64/WE: polynomial 0x42F0E1EBA9EA3693, not reflected, init all ones, result complemented.
uint64_t crc64we(const void* data, size_t n);
inline uint64_t crc64we(std::string_view s) { return crc64we(s.data(), s.size()); }

// Adler-32 as zlib computes it (initial value 1).
uint32_t adler32(const void* data, size_t n);

// Version number: major << 24 | minor << 16 | build. "%d.%d.%d", or "%d.%d" when the build is
// 0 or 65535.
constexpr uint32_t makeVersion(uint32_t major, uint32_t minor, uint32_t build) {
  return major << 24 | (minor & 0xFF) << 16 | (build & 0xFFFF);
}
String versionText(uint32_t version);

// printf-style formatting into a String.
String format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
String vformat(const char* fmt, va_list args);

// ASCII-only case-insensitive comparison (settings keys, section names).
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace adt
