#include "config/masks.h"

namespace config {
namespace {

// Numbers larger than this cannot be an octet; reading stops growing them here.
constexpr uint32_t kNumberCap = 100000;

struct OctetRange {
  uint32_t lo = 0, hi = 0;
};

bool isMaskChar(char c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.' || c == ';';
}

// Reads one octet form (the text between dots, other characters already removed).
// Returns false when it contributes nothing: empty, or "-" without a number after it.
bool readOctet(std::string_view s, OctetRange& out) {
  if (s.empty()) return false;
  if (s.find('*') != std::string_view::npos) {
    out = {0, 255};
    return true;
  }
  uint32_t first = 0, second = 0;
  bool haveFirst = false, haveSecond = false, dash = false;
  for (char c : s) {
    if (c == '-') {
      dash = true;
      continue;
    }
    uint32_t& n = dash ? second : first;
    (dash ? haveSecond : haveFirst) = true;
    if (n < kNumberCap) n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (!dash) {
    out = {first, first};
    return true;
  }
  if (!haveSecond) {
    if (!haveFirst) return false;  // a lone "-"
    out = {first, 255};            // "a-": from a upward
    return true;
  }
  out = {haveFirst ? first : 0, second};
  return true;
}

// Parses one ";"-separated entry. False when it names no octet or an octet above 255.
bool readEntry(std::string_view s, MaskKind kind, MaskEntry& entry) {
  OctetRange octets[4];
  int count = 0;
  size_t pos = 0;
  while (pos <= s.size() && count < 4) {
    size_t dot = s.find('.', pos);
    if (dot == std::string_view::npos) dot = s.size();
    if (readOctet(s.substr(pos, dot - pos), octets[count])) ++count;
    pos = dot + 1;
  }
  if (count == 0) return false;
  for (int i = count; i < 4; ++i)
    octets[i] = kind == kMaskAllow ? OctetRange{0, 0} : OctetRange{0, 255};
  entry.kind = kind;
  for (int i = 0; i < 4; ++i) {
    if (octets[i].lo > 255 || octets[i].hi > 255) return false;
    entry.lo[i] = static_cast<uint8_t>(octets[i].lo);
    entry.hi[i] = static_cast<uint8_t>(octets[i].hi);
  }
  return true;
}

uint32_t littleEndianValue(const std::array<uint8_t, 4>& o) {
  return static_cast<uint32_t>(o[0]) | static_cast<uint32_t>(o[1]) << 8 |
         static_cast<uint32_t>(o[2]) << 16 | static_cast<uint32_t>(o[3]) << 24;
}

// True when a sorts before b.
bool before(const MaskEntry& a, const MaskEntry& b) {
  const uint32_t wa = a.width(), wb = b.width();
  if (wa != wb) return wa < wb;
  return a.kind == kMaskBan && b.kind == kMaskAllow;
}

}  // namespace

uint32_t MaskEntry::width() const { return littleEndianValue(hi) - littleEndianValue(lo); }

bool MaskEntry::contains(const std::array<uint8_t, 4>& address) const {
  for (int i = 0; i < 4; ++i) {
    if (address[i] < lo[i] || address[i] > hi[i]) return false;
  }
  return true;
}

void MaskList::parse(std::string_view value, MaskKind kind) {
  std::string clean;
  for (char c : value) {
    if (isMaskChar(c)) clean.push_back(c);
  }
  size_t pos = 0;
  while (pos <= clean.size()) {
    size_t end = clean.find(';', pos);
    if (end == std::string::npos) end = clean.size();
    MaskEntry entry;
    if (end > pos && readEntry(std::string_view(clean).substr(pos, end - pos), kind, entry)) {
      insert(entry);
    }
    pos = end + 1;
  }
}

void MaskList::insert(const MaskEntry& entry) {
  auto it = entries_.begin();
  while (it != entries_.end() && !before(entry, *it)) ++it;
  entries_.insert(it, entry);
}

bool MaskList::admits(const std::array<uint8_t, 4>& address) const {
  if (entries_.empty()) return true;
  bool anyAllow = false;
  for (const MaskEntry& e : entries_) {
    if (e.contains(address)) return e.kind == kMaskAllow;
    anyAllow = anyAllow || e.kind == kMaskAllow;
  }
  return !anyAllow;
}

bool MaskList::admits(uint32_t address) const {
  return admits(std::array<uint8_t, 4>{
      static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
      static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
}

adt::String MaskList::text(MaskKind kind) const {
  adt::String out;
  for (const MaskEntry& e : entries_) {
    if (e.kind != kind) continue;
    if (!out.empty()) out += ';';
    for (int i = 0; i < 4; ++i) {
      if (i > 0) out += '.';
      if (e.lo[i] == 0 && e.hi[i] == 255) {
        out += '*';
      } else if (e.lo[i] == e.hi[i]) {
        out += std::to_string(e.lo[i]);
      } else {
        out += std::to_string(e.lo[i]) + "-" + std::to_string(e.hi[i]);
      }
    }
  }
  return out;
}

}  // namespace config
