// The fixed-layout parts of AMP: header, start report, start acknowledgment, socket hand-over.
// The tagged telemetry payload is in amp_telemetry.cc.
#include "agents/amp.h"

#include <algorithm>
#include <cstring>

#include "adt/exception.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "platform/net.h"

namespace agents::amp {

using adt::tagged::getLe32;
using adt::tagged::putLe32;

bool isReservedAgentCode(uint32_t code) {
  switch (code) {
    case kStartReport:
    case kPingAnswer:
    case kTelemetry:
    case kSigstop:
    case kHttpSocketTaken:
    case kHttpsSocketTaken:
      return true;
    default:
      return false;
  }
}

// --- Header and datagram ---

void encodeHeader(const Header& header, uint8_t* out) {
  putLe32(out, kHeaderSize);
  putLe32(out + 4, kMagic);
  putLe32(out + 8, header.code);
  putLe32(out + 12, header.arg);
  putLe32(out + 16, header.value1);
  putLe32(out + 20, header.value2);
  putLe32(out + 24, header.dataLength);
}

adt::Bytes encodeDatagram(Header header, const void* payload, size_t size) {
  if (size > kMaxPayload) throw adt::Exception("AMP payload too long");
  header.dataLength = static_cast<uint32_t>(size);
  adt::Bytes out(kHeaderSize + size);
  encodeHeader(header, out.data());
  if (size) std::memcpy(out.data() + kHeaderSize, payload, size);
  return out;
}

adt::Bytes encodeRequest(uint32_t code, uint32_t arg, const adt::Bytes& payload) {
  Header h;
  h.code = code;
  h.arg = arg;
  return encodeDatagram(h, payload);
}

const char* decodeStatusText(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk:
      return "ok";
    case DecodeStatus::kTooShort:
      return "short datagram";
    case DecodeStatus::kForeign:
      return "foreign datagram";
    case DecodeStatus::kBadHeaderSize:
      return "bad header size";
    case DecodeStatus::kTruncated:
      return "truncated payload";
  }
  return "?";
}

DecodeStatus decodeDatagram(const void* data, size_t size, Datagram& out) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (size < kHeaderSize) return DecodeStatus::kTooShort;
  if (getLe32(p + 4) != kMagic) return DecodeStatus::kForeign;
  if (getLe32(p) != kHeaderSize) return DecodeStatus::kBadHeaderSize;
  Header h;
  h.code = getLe32(p + 8);
  h.arg = getLe32(p + 12);
  h.value1 = getLe32(p + 16);
  h.value2 = getLe32(p + 20);
  h.dataLength = getLe32(p + 24);
  if (h.dataLength > size - kHeaderSize) return DecodeStatus::kTruncated;
  out.header = h;
  out.payload = p + kHeaderSize;
  out.payloadSize = h.dataLength;
  return DecodeStatus::kOk;
}

// --- Start report ---

uint32_t StartReport::versionNumber() const {
  if (!hasVersion) return 0;
  return adt::makeVersion(version[0], version[1], version[2]);
}

namespace {

void appendLe32(adt::Bytes& out, uint32_t v) {
  uint8_t b[4];
  putLe32(b, v);
  out.insert(out.end(), b, b + 4);
}

void appendText(adt::Bytes& out, const adt::String& utf8) {
  const std::string bytes = adt::toCp1251(utf8);
  // A NUL inside would end the text early for the reader; cut it there instead.
  const size_t n = std::min(bytes.size(), std::strlen(bytes.c_str()));
  out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  out.push_back(0);
}

// Reads a NUL-ended text from [p, end); without a NUL the text ends at `end`.
adt::String takeText(const uint8_t*& p, const uint8_t* end) {
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
  const uint8_t* stop = nul ? nul : end;
  adt::String text = adt::fromCp1251(
      std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p)));
  p = nul ? nul + 1 : end;
  return text;
}

}  // namespace

adt::Bytes encodeStartReport(const StartReport& report) {
  adt::Bytes out;
  appendLe32(out, report.pid);
  const bool text2 = report.hasText2;
  const bool text1 = report.hasText1 || text2;
  const bool version = report.hasVersion || text1;
  const bool word = report.hasStartWord || version;
  if (word) {
    out.push_back(static_cast<uint8_t>(report.startWord));
    out.push_back(static_cast<uint8_t>(report.startWord >> 8));
  }
  if (version) {
    for (uint32_t v : report.version) appendLe32(out, v);
  }
  if (text1) appendText(out, report.text1);
  if (text2) appendText(out, report.text2);
  return out;
}

bool decodeStartReport(const uint8_t* payload, size_t size, StartReport& out) {
  if (size < 4) return false;
  StartReport r;
  const uint8_t* p = payload;
  const uint8_t* end = payload + size;
  r.pid = getLe32(p);
  p += 4;
  if (end - p >= 2) {
    r.hasStartWord = true;
    r.startWord = static_cast<uint16_t>(p[0] | p[1] << 8);
    p += 2;
    if (end - p >= 16) {
      r.hasVersion = true;
      for (int i = 0; i < 4; ++i) r.version[i] = getLe32(p + 4 * i);
      p += 16;
      if (p < end) {
        r.hasText1 = true;
        r.text1 = takeText(p, end);
        if (p < end) {
          r.hasText2 = true;
          r.text2 = takeText(p, end);
        }
      }
    }
  }
  out = std::move(r);
  return true;
}

// --- Start acknowledgment ---

adt::Bytes encodeStartAck(std::optional<uint32_t> managerPid) {
  adt::Bytes out;
  appendLe32(out, kStartAckWord);
  appendLe32(out, 0);
  if (managerPid) {
    adt::TaggedBufferWriter w(out);
    w.writeInt(kStartAckManagerPidTag, static_cast<int32_t>(*managerPid));
    w.flush();
  }
  return out;
}

bool decodeStartAck(const uint8_t* payload, size_t size, StartAck& out) {
  if (size < 8) return false;
  StartAck ack;
  ack.word1 = getLe32(payload);
  ack.word2 = getLe32(payload + 4);
  adt::TaggedBufferReader in(payload + 8, size - 8);
  for (uint8_t t = in.nextTag(); t != 0; t = in.nextTag()) {
    if (t == kStartAckManagerPidTag) ack.managerPid = static_cast<uint32_t>(in.readInt());
  }
  out = ack;
  return true;
}

// --- Socket hand-over ---

static_assert(kSocketRecordSize == platform::kSocketRecordSize);

adt::Bytes encodeSocketHandover(const uint8_t* record) {
  adt::Bytes out(kSocketPayloadSize, 0);
  putLe32(out.data(), static_cast<uint32_t>(kSocketPayloadSize));
  std::memcpy(out.data() + 4, record, kSocketRecordSize);
  return out;
}

bool decodeSocketHandover(const uint8_t* payload, size_t size, const uint8_t*& record) {
  if (size < kSocketPayloadSize || getLe32(payload) != kSocketPayloadSize) return false;
  record = payload + 4;
  return true;
}

}  // namespace agents::amp
