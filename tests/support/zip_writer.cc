#include "zip_writer.h"

#include <zlib.h>

#include <stdexcept>

namespace testsupport {
namespace {

void put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

}  // namespace

uint32_t zipCrc(const std::string& data) {
  return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0),
                                     reinterpret_cast<const Bytef*>(data.data()),
                                     static_cast<uInt>(data.size())));
}

std::string deflateRaw(const std::string& data) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

std::string zipArchive(const std::vector<ZipEntry>& entries, bool centralDirectory) {
  std::string out;
  std::string central;
  for (const ZipEntry& e : entries) {
    const std::string body = e.rawData ? *e.rawData : (e.method == 8 ? deflateRaw(e.data) : e.data);
    const uint32_t crc = e.crc.value_or(zipCrc(e.data));
    const uint32_t compressed = e.compressedSize.value_or(static_cast<uint32_t>(body.size()));
    const uint32_t uncompressed = e.uncompressedSize.value_or(static_cast<uint32_t>(e.data.size()));
    const uint32_t offset = static_cast<uint32_t>(out.size());

    put32(out, 0x04034B50);
    put16(out, e.versionNeeded);
    put16(out, e.flags);
    put16(out, e.method);
    put16(out, 0);       // time
    put16(out, 0x5821);  // date: 2024-01-01
    put32(out, crc);
    put32(out, compressed);
    put32(out, uncompressed);
    put16(out, static_cast<uint32_t>(e.name.size()));
    put16(out, static_cast<uint32_t>(e.extra.size()));
    out += e.name;
    out += e.extra;
    out += body;

    put32(central, 0x02014B50);
    put16(central, 20);  // made by
    put16(central, e.versionNeeded);
    put16(central, e.flags);
    put16(central, e.method);
    put16(central, 0);
    put16(central, 0x5821);
    put32(central, crc);
    put32(central, compressed);
    put32(central, uncompressed);
    put16(central, static_cast<uint32_t>(e.name.size()));
    put16(central, 0);  // extra
    put16(central, 0);  // comment
    put16(central, 0);  // disk
    put16(central, 0);  // internal attributes
    put32(central, 0);  // external attributes
    put32(central, offset);
    central += e.name;
  }
  if (!centralDirectory) return out;
  const uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  put32(out, 0x06054B50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<uint32_t>(entries.size()));
  put16(out, static_cast<uint32_t>(entries.size()));
  put32(out, static_cast<uint32_t>(central.size()));
  put32(out, centralOffset);
  put16(out, 0);
  return out;
}

}  // namespace testsupport
