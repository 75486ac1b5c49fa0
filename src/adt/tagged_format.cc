#include "adt/tagged_format.h"

#include <cstring>

#include "adt/exception.h"

namespace adt::tagged {

namespace {
constexpr const char* kTooLong = "Tag size too long";
}

bool signatureAccepted(const uint8_t* value) {
  return std::memcmp(value, kSignature, 4) == 0 && value[4] == kSignatureMajor &&
         value[5] == kSignatureMinor;
}

String decodeText(const uint8_t* value, size_t size) {
  const char* p = reinterpret_cast<const char*>(value);
  if (size >= 2 && value[0] == kUtf8TextMark[0] && value[1] == kUtf8TextMark[1]) {
    return String(p + 2, size - 2);
  }
  return fromCp1251(std::string_view(p, size));
}

void throwUnexpectedEof() { throw TaggedReaderException("Tag stream unexpected eof"); }

void throwInvalidTag(int need, int found) {
  throw TaggedReaderException(format("Invalid tag [need:%d, but:%d]", need, found));
}

void throwInvalidSize(int tag, uint64_t need, uint64_t found) {
  throw TaggedReaderException(format("Invalid tag size(%d) [need:%llu, but:%llu]", tag,
                                     static_cast<unsigned long long>(need),
                                     static_cast<unsigned long long>(found)));
}

void throwInvalidFormat() { throw TaggedReaderException("Invalid tag stream format"); }

void throwReaderTooLong() { throw TaggedReaderException(kTooLong); }

void throwWriterTooLong() { throw TaggedWriterException(kTooLong); }

}  // namespace adt::tagged
