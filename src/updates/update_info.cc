#include "updates/update_info.h"

#include "updates/distribution_name.h"

namespace updates {
namespace {

std::string_view trimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

UpdateInfo parseUpdateInfo(std::string_view text, uint32_t defaultUpdater) {
  UpdateInfo info;
  info.updater = defaultUpdater;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    line = line.substr(0, line.find('#'));
    const size_t eq = line.find('=');
    const std::string_view key = trimBlanks(line.substr(0, eq));
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : trimBlanks(line.substr(eq + 1));
    if (adt::equalsIgnoreCase(key, "updater")) {
      uint32_t version = 0;
      if (parseVersion(value, version)) {
        info.updater = version;
        info.unreadableUpdater.clear();
      } else {
        info.unreadableUpdater = adt::String(value);
      }
    } else if (adt::equalsIgnoreCase(key, "extract")) {
      size_t from = 0;
      while (from <= value.size()) {
        size_t comma = value.find(',', from);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view name = trimBlanks(value.substr(from, comma - from));
        if (!name.empty()) info.extract.emplace_back(name);
        from = comma + 1;
      }
    }
  }
  return info;
}

}  // namespace updates
