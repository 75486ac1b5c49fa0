// Names in the updates directory: which archives are agent distributions, their packed version
// numbers, the unpack directory name of a version, and the compatibility check of updates.
#pragma once
#include <cstdint>
#include <string_view>

#include "adt/text.h"

namespace updates {

// The agent program inside an unpacked distribution (no executable suffix on this platform).
constexpr const char* kAgentExecutable = "dorvi";
// Updates below this version are refused.
constexpr uint32_t kMinimumUpdateVersion = adt::makeVersion(5, 2, 104);

// A version written from the first digit of `text` on: up to three decimal numbers separated
// by single non-digit characters, the first two of them ".": "5.2.430-windows" is 5.2.430,
// "5.2.zip" is 5.2.0. False for fewer than two separators, another first or second separator,
// or a major or minor number above 255 (which would spill into the neighbouring field). The
// build is taken modulo 2^16.
bool parseVersion(std::string_view text, uint32_t& version);

// The agent distribution name rules, on a file name without directory: ends with ".zip" (any
// case); a name for "-linux-x64" or "-x86_64" must also say "-windows"; starts with "dorvi-"
// (any case); carries a version (parseVersion). On failure `reason`, when given, gets the reason
// text ("\".zip\" expected", "\"-windows\" expected", ...).
bool parseDistributionName(std::string_view fileName, uint32_t& version,
                           adt::String* reason = nullptr);

// The name of a version's unpack directory: "%d.%d.%d" (major, minor, build).
adt::String versionDirectoryName(uint32_t version);

// "" when the update file `fileName` may be installed; otherwise the text to show:
// "Файл обновления \"<name>\" не совместим с текущей версией ПО" for a name that fails the
// rules above, "Обновления на версии ниже 5.2.104 не поддерживаются" for an older version.
adt::String compatibilityError(std::string_view fileName);

// True when `text` ends with `suffix`, ASCII letters compared without regard to case.
bool endsWithIgnoreCase(std::string_view text, std::string_view suffix);

}  // namespace updates
