// The ".updateinfo" file of a manager update: its UTF-8 text, parsed as the update store does.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "updates/update_info.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const updates::UpdateInfo info = updates::parseUpdateInfo(text, 0x05020000);
  for (const adt::String& name : info.extract) {
    if (name.empty()) fuzz::broken("an empty name to extract");
    if (name.front() == ' ' || name.back() == ' ') fuzz::broken("an untrimmed name");
  }
  return 0;
}
