// AMP: the datagram format the manager and its agent processes exchange over the loopback
// interface. Both ends build and parse their datagrams through this header only, so the
// writer and the reader of every field share one definition.
//
// A datagram is a 28-byte header followed by its payload; all integers are little-endian:
//   offset  0  headerSize  always 28
//   offset  4  magic       0x3ADE6771
//   offset  8  code        message code (constants below)
//   offset 12  arg         request argument, 0 when the code takes none
//   offset 16  value1      0 in manager requests; in telemetry the agent's connected clients
//   offset 20  value2      0 in manager requests
//   offset 24  dataLength  payload bytes that follow the header
//
// Decoding never trusts a length it was given: a datagram shorter than its header or than the
// payload it announces, or one that does not carry the magic, is rejected, and no field is read
// past the received bytes. Payload decoders that read a tagged stream throw
// adt::TaggedReaderException on an element of the wrong size or one that runs past the end.
// Everything here is plain data and free functions; any thread may use it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "adt/text.h"

namespace agents::amp {

inline constexpr uint32_t kHeaderSize = 28;
inline constexpr uint32_t kMagic = 0x3ADE6771;
// The receive buffer of either end; a payload can be at most this less the header.
inline constexpr size_t kMaxDatagram = 65536;
inline constexpr size_t kMaxPayload = kMaxDatagram - kHeaderSize;
// The manager's agent port when the agent is told nothing else.
inline constexpr uint16_t kDefaultManagerPort = 5002;

// --- Codes an agent sends to the manager ---
inline constexpr uint32_t kStartReport = 1;        // payload: StartReport
inline constexpr uint32_t kPingAnswer = 10;        // no payload
inline constexpr uint32_t kTelemetry = 12;         // payload: Telemetry, value1 = clients
inline constexpr uint32_t kHttpSocketTaken = 18;   // the agent accepts on the HTTP socket now
inline constexpr uint32_t kHttpsSocketTaken = 20;  // the same for HTTPS
// Sent to a running manager to stop it (payload: 4 zero bytes) and answered with the same code.
inline constexpr uint32_t kSigstop = 17;
inline constexpr size_t kSigstopPayloadSize = 4;

// --- Codes the manager sends to an agent ---
inline constexpr uint32_t kTerminateAgent = 3;   // plain stop
inline constexpr uint32_t kStartAck = 4;         // payload: StartAck
inline constexpr uint32_t kAgentInfo = 5;        // arg: the client's info code
inline constexpr uint32_t kUpdateNotice = 7;     // payload: a text
inline constexpr uint32_t kKillClient = 8;       // payload: the client's identifier bytes
inline constexpr uint32_t kPing = 9;             // no payload; answered with kPingAnswer
inline constexpr uint32_t kJavaInfo = 14;        // Java environment request
inline constexpr uint32_t kStatistics = 16;      // payload: nested stream {1 from, 2 to, 3 kind}
inline constexpr uint32_t kSigstopAnswer = 17;   // answer to kSigstop
inline constexpr uint32_t kHttpSocket = 18;      // payload: socket hand-over
inline constexpr uint32_t kSoftTerminate = 19;   // soft stop: the manager grants a grace period
inline constexpr uint32_t kHttpsSocket = 20;     // payload: socket hand-over
inline constexpr uint32_t kKillAllClients = 22;  // drop every client

// True for the codes that mean something of their own to the manager (1, 10, 12, 17, 18, 20):
// an agent's answer to a request must carry another code.
bool isReservedAgentCode(uint32_t code);

// --- Header and datagram ---

struct Header {
  uint32_t code = 0;
  uint32_t arg = 0;
  uint32_t value1 = 0;
  uint32_t value2 = 0;
  uint32_t dataLength = 0;
  bool operator==(const Header&) const = default;
};

// Writes the 28 header bytes (headerSize and magic included) to out[0..27].
void encodeHeader(const Header& header, uint8_t* out);
// Header and payload as one datagram; dataLength is taken from `size`. Throws adt::Exception
// "AMP payload too long" above kMaxPayload.
adt::Bytes encodeDatagram(Header header, const void* payload, size_t size);
inline adt::Bytes encodeDatagram(const Header& header, const adt::Bytes& payload) {
  return encodeDatagram(header, payload.data(), payload.size());
}
// A request as the manager sends it: value1 = value2 = 0.
adt::Bytes encodeRequest(uint32_t code, uint32_t arg, const adt::Bytes& payload = {});

enum class DecodeStatus {
  kOk,
  kTooShort,       // fewer bytes than the header
  kForeign,        // the magic is not there
  kBadHeaderSize,  // the headerSize field is not 28
  kTruncated,      // dataLength promises more bytes than arrived
};
// English text for logs: "ok", "short datagram", ...
const char* decodeStatusText(DecodeStatus status);

// A decoded datagram; `payload` points into the caller's buffer.
struct Datagram {
  Header header;
  const uint8_t* payload = nullptr;
  size_t payloadSize = 0;  // == header.dataLength; bytes after it are ignored
};
// Validates and decodes `size` received bytes. `out` is written only when kOk is returned.
DecodeStatus decodeDatagram(const void* data, size_t size, Datagram& out);

// --- Start report (code 1) ---
// pid (4 bytes), startWord (2), version (four uint32: major, minor, build, fourth), text1 and
// text2 (Windows-1251, each ended by a NUL). Every part after the pid is optional; a reader
// stops at the end of the payload. A text that lacks its NUL ends where the payload ends.
struct StartReport {
  uint32_t pid = 0;
  bool hasStartWord = false;
  uint16_t startWord = 0;
  bool hasVersion = false;
  std::array<uint32_t, 4> version{};  // major, minor, build, a fourth number
  bool hasText1 = false;
  adt::String text1;  // UTF-8
  bool hasText2 = false;
  adt::String text2;  // UTF-8: the agent's log file
  bool operator==(const StartReport&) const = default;

  // major << 24 | minor << 16 | build (16 bits), 0 without a version.
  uint32_t versionNumber() const;
};
// Writes the parts up to the last present one; an absent part before a present one is written
// with zeros (or as an empty text), so a reader sees it as present.
adt::Bytes encodeStartReport(const StartReport& report);
// False when the payload is shorter than the pid.
bool decodeStartReport(const uint8_t* payload, size_t size, StartReport& out);

// --- Start acknowledgment (code 4) ---
// uint32 2, uint32 0, then, when the agent writes to a named pipe, one tagged element with
// tag 1 whose 4-byte value is the manager's process id.
inline constexpr uint32_t kStartAckWord = 2;
inline constexpr uint8_t kStartAckManagerPidTag = 1;
struct StartAck {
  uint32_t word1 = kStartAckWord;
  uint32_t word2 = 0;
  std::optional<uint32_t> managerPid;
  bool operator==(const StartAck&) const = default;
};
adt::Bytes encodeStartAck(std::optional<uint32_t> managerPid);
// False when shorter than the two words; a malformed tagged part throws
// adt::TaggedReaderException. Elements other than tag 1 are skipped.
bool decodeStartAck(const uint8_t* payload, size_t size, StartAck& out);

// --- Listening socket hand-over (codes 18 and 20) ---
// uint32 376 (the payload size) followed by the 372-byte protocol-info record, carried as is:
// what it holds is the platform's (platform::socketRecordFor, platform::socketFromRecord).
inline constexpr size_t kSocketRecordSize = 372;
inline constexpr size_t kSocketPayloadSize = 4 + kSocketRecordSize;
adt::Bytes encodeSocketHandover(const uint8_t* record);
// False unless the payload is at least 376 bytes and starts with 376; `record` then points at
// the record inside the payload.
bool decodeSocketHandover(const uint8_t* payload, size_t size, const uint8_t*& record);

// --- Telemetry (code 12) ---
// The payload is a tagged stream. A task starts with tag 1 (16 bytes: id, type, op, pulse);
// the tags after it up to the next tag 1 fill in that task. Tag 5 adds to the dictionary,
// tag 8 is one performance sample (a nested stream), tag 11 (4 bytes) gives the newest sample
// its count while it has none yet (before any tag 8: the newest of an earlier datagram). Tag 9 and unknown tags are skipped.
namespace tag {
inline constexpr uint8_t kTask = 1;          // 16 bytes
inline constexpr uint8_t kRequest = 2;       // int32
inline constexpr uint8_t kUserTime = 3;      // double
inline constexpr uint8_t kBlocked = 4;       // no value
inline constexpr uint8_t kDictionary = 5;    // bytes, appended
inline constexpr uint8_t kThread = 6;        // uint32
inline constexpr uint8_t kRequestTime = 7;   // uint32
inline constexpr uint8_t kSample = 8;        // nested stream
inline constexpr uint8_t kIgnored = 9;       //
inline constexpr uint8_t kContext = 10;      // text
inline constexpr uint8_t kSampleCount = 11;  // int32
inline constexpr uint8_t kExtra = 12;        // uint16
inline constexpr uint8_t kStack = 13;        // text
}  // namespace tag

struct Task {
  uint32_t id = 0;
  int32_t type = 0;
  int32_t op = 0;      // operation code; 20000 and above are never taken as hung
  uint32_t pulse = 0;  // progress counter: a task whose pulse stands still may hang
  uint32_t thread = 0;
  int32_t rq = 0;
  uint32_t rqTime = 0;
  double user = 0;
  bool blocked = false;
  adt::String contextMessage;
  adt::String stack;
  uint16_t extra = 0;
  bool operator==(const Task&) const = default;
};

// One performance sample in compact form. The sub-tags and their sizes are fixed: 2, 4, 6, 7,
// 9, 10, 11, 13 and 15 hold 4 bytes; 3, 5, 14, 16, 17 and 20 hold 8 bytes (integers or time
// values in days, kept as their bits); 12 is a nested block whose sub-tags 1, 2, 4 and 5 hold
// 4 bytes and 3 holds the cumulative garbage-collection time in days (a double). Sub-tags 8, 18
// and 19 and unknown ones are skipped. What each value means is the agent's affair.
struct PerformanceSample {
  static constexpr uint8_t kWordTags[9] = {2, 4, 6, 7, 9, 10, 11, 13, 15};
  static constexpr uint8_t kWideTags[6] = {3, 5, 14, 16, 17, 20};
  static constexpr uint8_t kNestedTag = 12;
  static constexpr uint8_t kNestedWordTags[4] = {1, 2, 4, 5};
  static constexpr uint8_t kNestedGcTag = 3;

  uint32_t words[9] = {};
  uint64_t wides[6] = {};
  uint32_t nested[4] = {};
  double gcDays = 0;
  bool operator==(const PerformanceSample&) const = default;

  // By sub-tag; 0 (and no effect when setting) for a sub-tag that holds no such value.
  uint32_t word(int subTag) const;
  void setWord(int subTag, uint32_t value);
  uint64_t wide(int subTag) const;
  void setWide(int subTag, uint64_t value);
  // An 8-byte value read as a time in days.
  double wideDays(int subTag) const;
  void setWideDays(int subTag, double days);
  // Sub-tag n (1, 2, 4 or 5) of the nested block.
  uint32_t nestedValue(int n) const;
  void setNestedValue(int n, uint32_t value);
};

adt::Bytes encodePerformanceSample(const PerformanceSample& sample);
// Throws adt::TaggedReaderException on an element of the wrong size or past the end.
PerformanceSample decodePerformanceSample(const uint8_t* data, size_t size);

struct Sample {
  adt::Bytes raw;  // the value of tag 8 as received; the encoder writes `values` when empty
  PerformanceSample values;
  uint32_t count = 0;  // tag 11; 0 while the sample is still open
  bool operator==(const Sample&) const = default;
};

struct Telemetry {
  std::vector<Task> tasks;
  bool hasDictionary = false;  // at least one tag 5 came (possibly empty)
  adt::Bytes dictionary;
  std::vector<Sample> samples;
  // Tag 11 before any sample of the datagram: the count of the newest sample of an earlier one.
  uint32_t leadingCount = 0;
  bool operator==(const Telemetry&) const = default;
};

// Writes each task (tag 1, then its optional fields when they are not zero or empty), then the
// dictionary (when hasDictionary), then each sample (tag 8, and tag 11 when its count is set).
adt::Bytes encodeTelemetry(const Telemetry& telemetry);
// Decodes the whole payload or nothing: throws adt::TaggedReaderException (with the reader's
// texts, e.g. "Invalid tag size(2) [need:4, but:3]", "Tag stream unexpected eof") on an
// element of the wrong size or one that runs past the end. Task fields that come before any
// task are checked and dropped.
Telemetry decodeTelemetry(const uint8_t* payload, size_t size);

// --- Decoding dictionary (the bytes of tag 5) ---
// A tagged stream: tag 1 a number (4 bytes), tag 2 its text; tags 3, 4 and 5 are nested
// sections of operations, requests and threads read the same way.
struct DictionaryEntry {
  int32_t number = 0;
  adt::String text;
  bool operator==(const DictionaryEntry&) const = default;
};
struct Dictionary {
  std::vector<DictionaryEntry> operations, requests, threads;
};
adt::Bytes encodeDictionary(const Dictionary& dictionary);
// Appends "расшифровка:\n" and the dictionary as text: "<number>=" for tag 1, the text and "\n"
// for tag 2, "операции:\n", "запросы:\n" and "потоки:\n" before the sections. Sections nested
// deeper than kMaxDictionaryDepth are refused ("Invalid tag stream format") rather than
// followed. Throws adt::TaggedReaderException on malformed input; `out` may then hold a part.
inline constexpr int kMaxDictionaryDepth = 8;
void describeDictionary(const uint8_t* data, size_t size, adt::String& out);

}  // namespace agents::amp
