// The tagged binary format, shared by every writer and reader: element headers, the stream
// signature, the text forms and the reader/writer error texts.
//
// An element is a one-byte tag, a size and that many bytes of value, little-endian throughout:
//   short form: tag, size (1 byte), value            -- written for values of 0..240 bytes
//   long form:  0xFF, tag, size (4 bytes), value     -- written for values above 240 bytes
// A reader decides the form by the first byte alone, so it also accepts short sizes 241..255.
// There is no end marker; a stream ends where its bytes end. Tag 0 is never written: readers
// report the end of the input as tag 0.
#pragma once
#include <cstddef>
#include <cstdint>

#include "adt/text.h"

namespace adt::tagged {

// Writers gather small elements here before handing them on.
inline constexpr size_t kStagingSize = 1024;
// The largest value written in short form.
inline constexpr size_t kMaxShortValue = 240;
// First byte of a long-form header.
inline constexpr uint8_t kLongFormMarker = 0xFF;
inline constexpr size_t kShortHeaderSize = 2;
inline constexpr size_t kLongHeaderSize = 6;
// The size field is 32 bits wide.
inline constexpr uint64_t kMaxValueSize = 0xFFFFFFFFull;
// Readers skip unwanted values through a scratch area of this size.
inline constexpr size_t kSkipPiece = 1024;

// The stream signature element: C9 06 74 69 6F 00 01 00.
inline constexpr uint8_t kSignatureTag = 201;
inline constexpr uint8_t kSignature[6] = {0x74, 0x69, 0x6F, 0x00, 1, 0};
inline constexpr size_t kSignatureSize = sizeof kSignature;
inline constexpr uint8_t kSignatureMajor = 1;
inline constexpr uint8_t kSignatureMinor = 0;

// The conventional tag of a byte-array payload.
inline constexpr uint8_t kBlobTag = 202;

// A text value starting with these two bytes holds UTF-8 after them; any other text value is
// Windows-1251. Only read, never written.
inline constexpr uint8_t kUtf8TextMark[2] = {0x07, 0x0B};

// zlib parameters of compressed values (zlib wrapper) and of the raw compression stream.
inline constexpr int kDeflateLevel = 6;
inline constexpr int kZlibWindowBits = 15;
inline constexpr int kRawWindowBits = -15;
inline constexpr int kDeflateMemLevel = 8;

inline void putLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void putLe64(uint8_t* p, uint64_t v) {
  putLe32(p, static_cast<uint32_t>(v));
  putLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

inline uint32_t getLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t getLe64(const uint8_t* p) {
  return static_cast<uint64_t>(getLe32(p)) | static_cast<uint64_t>(getLe32(p + 4)) << 32;
}

// True when the six signature value bytes carry the magic, major version 1 and minor 0.
bool signatureAccepted(const uint8_t* value);

// The UTF-8 text of a text value (either form).
String decodeText(const uint8_t* value, size_t size);

// The reader and writer failures, with their exact texts.
[[noreturn]] void throwUnexpectedEof();                                      // reader
[[noreturn]] void throwInvalidTag(int need, int found);                      // reader
[[noreturn]] void throwInvalidSize(int tag, uint64_t need, uint64_t found);  // reader
[[noreturn]] void throwInvalidFormat();                                      // reader
[[noreturn]] void throwReaderTooLong();                                      // reader
[[noreturn]] void throwWriterTooLong();                                      // writer

}  // namespace adt::tagged
