// Test support: ZIP archives built in memory, well-formed or broken on purpose.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// One entry. By default a well-formed one: `data` deflated (method 8) or stored (method 0),
// with its true CRC-32 and sizes. The optional fields replace what is written into the local
// header (and the central directory), to build broken archives.
struct ZipEntry {
  ZipEntry(std::string entryName, std::string content, uint16_t entryMethod = 8)
      : name(std::move(entryName)), data(std::move(content)), method(entryMethod) {}

  std::string name;
  std::string data;
  uint16_t method = 8;
  uint16_t versionNeeded = 20;
  uint16_t flags = 0;
  std::string extra;
  std::optional<uint32_t> crc;
  std::optional<uint32_t> compressedSize;
  std::optional<uint32_t> uncompressedSize;
  // The entry data exactly as written after the header (instead of the encoded `data`).
  std::optional<std::string> rawData;
};

// The archive: local headers with their data, then the central directory and its end record
// (left out when `centralDirectory` is false).
std::string zipArchive(const std::vector<ZipEntry>& entries, bool centralDirectory = true);

// Raw deflate (no zlib or gzip wrapper) of `data`.
std::string deflateRaw(const std::string& data);

// CRC-32 of `data` as ZIP uses it.
uint32_t zipCrc(const std::string& data);

}  // namespace testsupport
