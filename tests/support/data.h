// Test support: generated payloads and counting in texts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// `n` bytes that do not repeat in any short period, the same for the same `origin`: a payload
// whose every byte must arrive in its place.
std::vector<uint8_t> patternBytes(size_t n, uint32_t origin = 1);
// The same bytes as patternBytes(n, origin), held in a string.
std::string patternText(size_t n, uint32_t origin = 1);

// How many times `what` occurs in `text`, overlapping occurrences included.
size_t countOf(const std::string& text, const std::string& what);

// Lower-case hexadecimal digits of `n` bytes (the form of the password store's records).
std::string hexOf(const uint8_t* p, size_t n);

}  // namespace testsupport
