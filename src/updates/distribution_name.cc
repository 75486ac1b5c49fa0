#include "updates/distribution_name.h"

namespace updates {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of digits at `pos` (saturating far above any valid field); false when there is
// none.
bool readNumber(std::string_view text, size_t& pos, uint64_t& value) {
  if (pos >= text.size() || !isDigit(text[pos])) return false;
  value = 0;
  while (pos < text.size() && isDigit(text[pos])) {
    if (value < (uint64_t{1} << 40)) value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
    ++pos;
  }
  return true;
}

}  // namespace

bool endsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         adt::equalsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

bool parseVersion(std::string_view text, uint32_t& version) {
  size_t pos = 0;
  while (pos < text.size() && !isDigit(text[pos])) ++pos;
  uint64_t major = 0, minor = 0, build = 0;
  if (!readNumber(text, pos, major)) return false;
  if (pos >= text.size() || text[pos] != '.') return false;
  ++pos;
  if (!readNumber(text, pos, minor)) return false;
  if (pos >= text.size() || text[pos] != '.') return false;
  ++pos;
  readNumber(text, pos, build);  // the build may be missing: "5.2.zip" is 5.2.0
  if (major > 255 || minor > 255) return false;
  version = adt::makeVersion(static_cast<uint32_t>(major), static_cast<uint32_t>(minor),
                             static_cast<uint32_t>(build & 0xFFFF));
  return true;
}

bool parseDistributionName(std::string_view fileName, uint32_t& version, adt::String* reason) {
  auto reject = [reason](const char* text) {
    if (reason) *reason = text;
    return false;
  };
  if (!endsWithIgnoreCase(fileName, ".zip")) return reject("\".zip\" expected");
  // Archives built for other systems are not distributions for this manager.
  const bool foreignBuild = fileName.find("-linux-x64") != std::string_view::npos ||
                            fileName.find("-x86_64") != std::string_view::npos;
  if (foreignBuild && fileName.find("-windows") == std::string_view::npos)
    return reject("\"-windows\" expected");
  if (fileName.size() < 6 || !adt::equalsIgnoreCase(fileName.substr(0, 6), "dorvi-"))
    return reject("\"dorvi-\" expected");
  if (!parseVersion(fileName, version)) return reject("version expected");
  return true;
}

adt::String versionDirectoryName(uint32_t version) {
  return adt::format("%u.%u.%u", version >> 24, (version >> 16) & 0xFF, version & 0xFFFF);
}

adt::String compatibilityError(std::string_view fileName) {
  uint32_t version = 0;
  if (!parseDistributionName(fileName, version))
    return "Файл обновления \"" + adt::String(fileName) + "\" не совместим с текущей версией ПО";
  if (version < kMinimumUpdateVersion)
    return "Обновления на версии ниже " + adt::versionText(kMinimumUpdateVersion) +
           " не поддерживаются";
  return "";
}

}  // namespace updates
