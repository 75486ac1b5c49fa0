// The update info file ".updateinfo" inside a manager update archive: key=value lines.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "adt/text.h"

namespace updates {

constexpr const char* kUpdateInfoName = ".updateinfo";

struct UpdateInfo {
  // The lowest manager version that may install the update.
  uint32_t updater = 0;
  // When `updater` was given but is no version: the text as written. Such an update cannot be
  // installed, since its requirement cannot be checked.
  adt::String unreadableUpdater;
  // The entries to extract; empty: all of them.
  std::vector<adt::String> extract;
};

// Parses the UTF-8 text of an update info file. Lines as in the settings file: CR and LF end a
// line, "#" starts a comment, blanks around keys and values are dropped, keys are compared
// without regard to case, unknown keys are ignored. `updater` takes a version (see
// parseVersion), `defaultUpdater` when the key is missing; `extract` is a comma-separated list
// of names, blanks around each name trimmed, empty names dropped.
UpdateInfo parseUpdateInfo(std::string_view text, uint32_t defaultUpdater);

}  // namespace updates
