// Telemetry payloads of agents: tasks, the decoding dictionary and the performance samples,
// decoded and described as the manager does with what it keeps of them.
#include <cstdint>

#include "adt/exception.h"
#include "agents/amp.h"
#include "fuzz_support.h"

namespace amp = agents::amp;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > amp::kMaxPayload) return 0;
  amp::Telemetry telemetry;
  try {
    telemetry = amp::decodeTelemetry(data, size);
  } catch (const adt::TaggedReaderException&) {
    return 0;
  }
  for (const amp::Sample& sample : telemetry.samples) {
    try {
      const amp::PerformanceSample values =
          amp::decodePerformanceSample(sample.raw.data(), sample.raw.size());
      for (int subTag = 0; subTag < 24; ++subTag) {
        values.word(subTag);
        values.wide(subTag);
        values.wideDays(subTag);
        values.nestedValue(subTag);
      }
    } catch (const adt::TaggedReaderException&) {
    }
  }
  if (telemetry.hasDictionary) {
    adt::String text;
    try {
      amp::describeDictionary(telemetry.dictionary.data(), telemetry.dictionary.size(), text);
    } catch (const adt::TaggedReaderException&) {
    }
  }
  // What was decoded can be sent on (the encoder takes every decoded value).
  const adt::Bytes again = amp::encodeTelemetry(telemetry);
  try {
    const amp::Telemetry back = amp::decodeTelemetry(again.data(), again.size());
    if (back.tasks.size() != telemetry.tasks.size() ||
        back.samples.size() != telemetry.samples.size()) {
      fuzz::broken("re-encoded telemetry reads back with other tasks or samples");
    }
  } catch (const adt::TaggedReaderException&) {
    fuzz::broken("re-encoded telemetry does not read back");
  }
  return 0;
}
