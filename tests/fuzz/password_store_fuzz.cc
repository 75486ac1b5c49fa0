// The password store file in either of its forms (tagged or text), then saved as text and read
// again: every record the text form can carry comes back unchanged.
#include <cstdint>

#include "adt/exception.h"
#include "clients/password_store.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const adt::Bytes content(data, data + size);
  clients::PasswordStore store;
  try {
    store.parse(content);
  } catch (const adt::TaggedReaderException&) {
    // A malformed tagged file: the records read before the bad element stay.
  }
  const adt::Bytes saved = store.serialize();
  clients::PasswordStore again;
  again.parse(saved);
  size_t at = 0;
  for (const clients::PasswordRecord& record : store.records()) {
    if (!clients::PasswordStore::isStorableName(record.name)) continue;
    if (at >= again.size()) fuzz::broken("a saved record is not read back");
    const clients::PasswordRecord& back = again.records()[at++];
    if (back.name != record.name || back.salt != record.salt || back.hash != record.hash) {
      fuzz::broken("a saved record reads back changed");
    }
  }
  if (at != again.size()) fuzz::broken("the saved store reads back with more records");
  return 0;
}
