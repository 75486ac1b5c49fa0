#include "adt/text.h"

#include <gtest/gtest.h>

#include "adt/exception.h"

namespace adt {
namespace {

TEST(Cp1251, CyrillicBothWays) {
  const std::string cp = "\xC0\xE1";  // "Аб"
  EXPECT_EQ(fromCp1251(cp), "Аб");
  EXPECT_EQ(toCp1251("Аб"), cp);
  EXPECT_EQ(toCp1251("Ёё№"), "\xA8\xB8\xB9");
  EXPECT_EQ(fromCp1251("\x88\x99"), "€™");
}

TEST(Cp1251, ReplacementRules) {
  EXPECT_EQ(toCp1251("a\xE4\xB8\xAD" "b"), "a?b");        // CJK has no Windows-1251 form
  EXPECT_EQ(toCp1251("\xEF\xBF\xBD"), "\x98");          // U+FFFD -> 0x98
  EXPECT_EQ(fromCp1251("\x98"), "\xC2\x98");            // 0x98 -> U+0098
  EXPECT_EQ(toCp1251(fromCp1251("\x98")), "\x98");      // and back
  EXPECT_EQ(toCp1251("x\xC3"), "x?");                   // truncated sequence
  EXPECT_EQ(toCp1251("\xF0\x9F\x98\x80"), "?");         // emoji is one unmappable char
}

TEST(Cp1251, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(toCp1251(fromCp1251(all)), all);
}

TEST(Checksums, KnownValues) {
  // CRC-64/WE check value for "123456789".
  EXPECT_EQ(crc64we("123456789"), 0x62EC59E3F1A4F00Aull);
  EXPECT_EQ(adler32("Wikipedia", 9), 0x11E60398u);
  EXPECT_EQ(adler32("", 0), 1u);
}

TEST(Version, Text) {
  EXPECT_EQ(versionText(makeVersion(5, 2, 430)), "5.2.430");
  EXPECT_EQ(versionText(makeVersion(5, 2, 0)), "5.2");
  EXPECT_EQ(versionText(makeVersion(5, 1, 65535)), "5.1");
}

TEST(SocketErrors, Texts) {
  EXPECT_STREQ(SocketException("recv(handle=412,size=65536)", 10060).what(),
               "recv(handle=412,size=65536) Connection timed out");
  EXPECT_STREQ(SocketException("", 10054).what(), "Connection reset by peer");
  EXPECT_STREQ(SocketException("x", 12345).what(), "x Неизвестная ошибка сокета, код=12345");
  EXPECT_STREQ(HostNotFoundSocketException().what(), "Host not found");
}

}  // namespace
}  // namespace adt
