// The incremental reader of client connections: the stream arrives in pieces of any size, each
// complete element is handed out and consumed the way its tag suggests, under the element
// size cap a connection has before its login.
#include <cstdint>
#include <vector>

#include "adt/exception.h"
#include "adt/nio_tagged_reader.h"
#include "clients/client.h"
#include "fuzz_support.h"

namespace {

void consume(adt::NioTag& element) {
  adt::String text;
  adt::Bytes bytes;
  uint8_t buffer[16];
  switch (element.tag() % 8) {
    case 0:
      element.checkStreamSignature();
      break;
    case 1:
      element.readString(text);
      break;
    case 2:
      element.readInt();
      break;
    case 3:
      element.readInt64();
      break;
    case 4:
      element.readByte();
      break;
    case 5:
      element.readBytes(bytes);
      if (element.size() != 0) fuzz::broken("readBytes left part of the value");
      break;
    case 6:
      element.readExact(buffer, element.size() < sizeof buffer ? element.size() : sizeof buffer);
      break;
    default:
      break;  // left for the next next() to discard
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  AMTaggedReader reader;
  reader.setMaxElementSize(clients::Client::kMaxElementBeforeLogin);
  size_t appended = 0;
  try {
    while (input.remaining_bytes() > 0) {
      // Piece sizes come from the end of the input, the bytes from its start.
      const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 1024);
      const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(piece);
      reader.append(bytes.data(), bytes.size());
      appended += bytes.size();
      while (adt::NioTag* element = reader.next()) {
        if (element->size() > clients::Client::kMaxElementBeforeLogin) {
          fuzz::broken("an element over the cap was handed out");
        }
        consume(*element);
      }
      if (reader.available() > appended) fuzz::broken("more bytes unread than received");
    }
  } catch (const adt::Exception&) {
    // The connection ends here; nothing after the bad element is parsed.
  }
  return 0;
}
