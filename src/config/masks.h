// Address mask lists: the allow (`ip_mask`) and ban (`ban_mask`) ranges of IPv4 addresses that
// filter connections to the manager and to each agent.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "adt/text.h"

namespace config {

enum MaskKind : uint8_t { kMaskAllow = 0, kMaskBan = 1 };

// One range: every octet of an address must lie within [lo[i], hi[i]].
struct MaskEntry {
  MaskKind kind = kMaskAllow;
  std::array<uint8_t, 4> lo{};
  std::array<uint8_t, 4> hi{};

  bool operator==(const MaskEntry&) const = default;
  // hi - lo on 32-bit values whose least significant byte is the first octet.
  uint32_t width() const;
  bool contains(const std::array<uint8_t, 4>& address) const;
};

// The allow and ban entries of one filter in one list, narrowest first, so that the most
// specific entry decides. A plain value; not thread-safe.
class MaskList {
 public:
  // Adds the entries of one `ip_mask` (kMaskAllow) or `ban_mask` (kMaskBan) value:
  // ";"-separated entries of up to four "."-separated octets, each "*", "n", "a-b" or "-b".
  // Missing trailing octets are 0-0 for allow entries and 0-255 for ban entries. An entry
  // without any octet, or with a number above 255, is not a valid address range and is skipped.
  void parse(std::string_view value, MaskKind kind);

  // Inserts at the sorted place: by width, narrowest first; at equal width ban before allow;
  // otherwise after the entries already there.
  void insert(const MaskEntry& entry);

  // The filter rule: an empty list admits everything; otherwise the first entry containing the
  // address decides (ban refuses, allow admits); when none does, the address is admitted only
  // if the list holds no allow entry.
  bool admits(const std::array<uint8_t, 4>& address) const;
  // `address` with the first octet in the most significant byte (a.b.c.d = 0xAABBCCDD).
  bool admits(uint32_t address) const;

  // The entries of one kind as a value that parses back to them: entries joined by ";", each as
  // four octets joined by ".", an octet "*" for 0-255, "n" when both ends are n, else "lo-hi".
  adt::String text(MaskKind kind) const;

  const std::vector<MaskEntry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }
  bool operator==(const MaskList&) const = default;

 private:
  std::vector<MaskEntry> entries_;
};

}  // namespace config
