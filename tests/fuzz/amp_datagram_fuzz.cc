// Agent link datagrams as the manager's agent port receives them (at most one receive buffer):
// the header, then the payload decoder of its code.
#include <cstdint>
#include <cstring>

#include "adt/exception.h"
#include "agents/amp.h"
#include "fuzz_support.h"

namespace amp = agents::amp;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > amp::kMaxDatagram) return 0;  // the receive buffer holds no more
  amp::Datagram datagram;
  const amp::DecodeStatus status = amp::decodeDatagram(data, size, datagram);
  if (amp::decodeStatusText(status) == nullptr) fuzz::broken("a status without a text");
  if (status != amp::DecodeStatus::kOk) return 0;
  if (datagram.payloadSize != datagram.header.dataLength ||
      datagram.payloadSize > size - amp::kHeaderSize ||
      (datagram.payloadSize > 0 && datagram.payload != data + amp::kHeaderSize)) {
    fuzz::broken("the payload does not lie within the datagram");
  }
  // What was accepted encodes back to the same bytes.
  const adt::Bytes again =
      amp::encodeDatagram(datagram.header, datagram.payload, datagram.payloadSize);
  if (again.size() != amp::kHeaderSize + datagram.payloadSize ||
      std::memcmp(again.data(), data, again.size()) != 0) {
    fuzz::broken("a decoded datagram does not encode back to its bytes");
  }
  const uint8_t* payload = datagram.payload;
  const size_t n = datagram.payloadSize;
  amp::isReservedAgentCode(datagram.header.code);
  try {
    switch (datagram.header.code) {
      case amp::kStartReport: {
        amp::StartReport report;
        if (amp::decodeStartReport(payload, n, report)) report.versionNumber();
        break;
      }
      case amp::kStartAck: {
        amp::StartAck ack;
        amp::decodeStartAck(payload, n, ack);
        break;
      }
      case amp::kHttpSocket:
      case amp::kHttpsSocket: {
        const uint8_t* record = nullptr;
        if (amp::decodeSocketHandover(payload, n, record)) {
          // The whole record lies inside the payload (the sanitizer checks each byte read).
          if (record != payload + 4) fuzz::broken("the hand-over record is not after its size");
          volatile uint8_t sum = 0;
          for (size_t i = 0; i < amp::kSocketRecordSize; ++i) sum = sum ^ record[i];
        }
        break;
      }
      case amp::kTelemetry:
        amp::decodeTelemetry(payload, n);
        break;
      default:
        break;
    }
  } catch (const adt::TaggedReaderException&) {
    // A malformed tagged payload: the datagram is dropped.
  }
  return 0;
}
