#include "config/masks.h"

#include <gtest/gtest.h>

namespace config {
namespace {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

MaskList masks(std::string_view allow, std::string_view ban = {}) {
  MaskList list;
  list.parse(allow, kMaskAllow);
  list.parse(ban, kMaskBan);
  return list;
}

TEST(MaskParse, OctetForms) {
  const MaskList list = masks("10.1-3.*.-20");
  ASSERT_EQ(list.entries().size(), 1u);
  const MaskEntry& e = list.entries()[0];
  EXPECT_EQ(e.lo, (std::array<uint8_t, 4>{10, 1, 0, 0}));
  EXPECT_EQ(e.hi, (std::array<uint8_t, 4>{10, 3, 255, 20}));
}

TEST(MaskParse, MissingOctetsDependOnTheKind) {
  const MaskList allow = masks("192.168");
  EXPECT_TRUE(allow.admits(ip(192, 168, 0, 0)));
  EXPECT_FALSE(allow.admits(ip(192, 168, 0, 1)));  // the network is 192.168.*.*

  const MaskList ban = masks("", "192.168");
  EXPECT_FALSE(ban.admits(ip(192, 168, 7, 9)));
  EXPECT_TRUE(ban.admits(ip(192, 169, 0, 0)));
}

TEST(MaskParse, SeparatorsJunkAndInvalidEntries) {
  // Letters and blanks are dropped; empty entries, octets above 255, extra octets.
  const MaskList list = masks(" host 10.0.0.1 ;; ;10.0.0.300;1.2.3.4.5;.;-");
  ASSERT_EQ(list.entries().size(), 2u);
  EXPECT_EQ(list.text(kMaskAllow), "10.0.0.1;1.2.3.4");
  EXPECT_EQ(masks(".10..20.30.40").text(kMaskAllow), "10.20.30.40");
}

TEST(MaskOrder, NarrowestFirstBanBeforeAllowThenArrival) {
  MaskList list = masks("10.*.*.*;10.0.0.1;10.0.0.2", "10.0.0.*;10.0.0.3");
  std::vector<std::string> order;
  for (const MaskEntry& e : list.entries()) {
    MaskList one;
    one.insert(e);
    order.push_back((e.kind == kMaskBan ? "ban " : "allow ") + one.text(e.kind));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"ban 10.0.0.3", "allow 10.0.0.1", "allow 10.0.0.2",
                                             "ban 10.0.0.*", "allow 10.*.*.*"}));
}

TEST(MaskOrder, WidthTreatsTheFirstOctetAsLeastSignificant) {
  // The last octet weighs most: 10.*.0.0 is narrower than 10.0.0.* and therefore decides.
  const MaskList list = masks("10.0.0.*", "10.*.0.0");
  EXPECT_EQ(list.entries()[0].kind, kMaskBan);
  EXPECT_FALSE(list.admits(ip(10, 0, 0, 0)));
  EXPECT_TRUE(list.admits(ip(10, 0, 0, 1)));
}

TEST(MaskEvaluate, FirstMatchDecidesElseAllowEntriesRefuse) {
  EXPECT_TRUE(MaskList().admits(ip(1, 2, 3, 4)));

  const MaskList mixed = masks("10.*.*.*", "10.0.0.5");
  EXPECT_FALSE(mixed.admits(ip(10, 0, 0, 5)));
  EXPECT_TRUE(mixed.admits(ip(10, 0, 0, 6)));
  EXPECT_FALSE(mixed.admits(ip(11, 0, 0, 1)));  // no match, and the list has an allow entry

  const MaskList banOnly = masks("", "10.0.0.5;172.16-31.*.*");
  EXPECT_FALSE(banOnly.admits(ip(172, 20, 1, 1)));
  EXPECT_TRUE(banOnly.admits(ip(172, 32, 1, 1)));
  EXPECT_TRUE(banOnly.admits(std::array<uint8_t, 4>{8, 8, 8, 8}));

  // A narrower allow wins over a wider ban.
  const MaskList hole = masks("192.168.1.10", "192.168.*.*");
  EXPECT_TRUE(hole.admits(ip(192, 168, 1, 10)));
  EXPECT_FALSE(hole.admits(ip(192, 168, 1, 11)));
}

TEST(MaskText, WritesEachKindSoItReadsBack) {
  const MaskList list = masks("10.0.0.1-9;192.168.*.*;1.2.3", "10.0.0.5;0-255.1.2.3");
  EXPECT_EQ(list.text(kMaskAllow), "1.2.3.0;10.0.0.1-9;192.168.*.*");
  EXPECT_EQ(list.text(kMaskBan), "10.0.0.5;*.1.2.3");
  EXPECT_EQ(masks(list.text(kMaskAllow), list.text(kMaskBan)), list);
}

}  // namespace
}  // namespace config
