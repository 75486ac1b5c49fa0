#include "updates/distribution_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "updates/update_info.h"

namespace updates {
namespace {

constexpr uint32_t v5_2_430 = adt::makeVersion(5, 2, 430);
const char* const kDist430 = "dorvi-5.2.430-windows-x86_64.zip";

uint32_t versionOf(const std::string& name, std::string* reason = nullptr) {
  uint32_t v = 0;
  adt::String why;
  const bool ok = parseDistributionName(name, v, &why);
  if (reason) *reason = why;
  return ok ? v : 0xDEADBEEF;
}

TEST(DistributionName, AcceptsAndPacksVersions) {
  EXPECT_EQ(versionOf(kDist430), 5u * (1 << 24) + 2u * (1 << 16) + 430u);
  EXPECT_EQ(versionOf("DORVI-5.2.430.ZIP"), v5_2_430);
  EXPECT_EQ(versionOf("dorvi-5.2.430-windows-linux-x64.zip"), v5_2_430);
  EXPECT_EQ(versionOf("dorvi-5.2.zip"), adt::makeVersion(5, 2, 0));
  EXPECT_EQ(versionOf("dorvi-12.34.5678_9.zip"), adt::makeVersion(12, 34, 5678));
  EXPECT_EQ(versionOf("dorvi-5.2.70000.zip"), adt::makeVersion(5, 2, 70000 % 65536));
  EXPECT_EQ(versionDirectoryName(v5_2_430), "5.2.430");
  EXPECT_EQ(versionDirectoryName(adt::makeVersion(5, 2, 0)), "5.2.0");
}

TEST(DistributionName, RejectsOtherNames) {
  std::string reason;
  EXPECT_EQ(versionOf("dorvi-5.2.430-linux-x64.zip", &reason), 0xDEADBEEF);
  EXPECT_EQ(reason, "\"-windows\" expected");
  EXPECT_EQ(versionOf("dorvi-5.2.430-x86_64.zip", &reason), 0xDEADBEEF);
  EXPECT_EQ(reason, "\"-windows\" expected");
  EXPECT_EQ(versionOf("dorvi-5.2.430.tar.gz", &reason), 0xDEADBEEF);
  EXPECT_EQ(reason, "\".zip\" expected");
  EXPECT_EQ(versionOf("dorvi-5.2.430.zip.bad", &reason), 0xDEADBEEF);
  EXPECT_EQ(reason, "\".zip\" expected");
  EXPECT_EQ(versionOf("agent-5.2.430.zip", &reason), 0xDEADBEEF);
  EXPECT_EQ(reason, "\"dorvi-\" expected");
  for (const char* name :
       {"dorvi-5_2_430.zip", "dorvi-5.2_430.zip", "dorvi-5.zip", "dorvi-5..2.zip", "dorvi-.zip",
        "dorvi-256.1.1.zip", "dorvi-1.300.1.zip"}) {
    EXPECT_EQ(versionOf(name, &reason), 0xDEADBEEF) << name;
    EXPECT_EQ(reason, "version expected") << name;
  }
}

TEST(DistributionName, CompatibilityOfUpdates) {
  EXPECT_EQ(compatibilityError("dorvi-5.2.104.zip"), "");
  EXPECT_EQ(compatibilityError("dorvi-6.0.1.zip"), "");
  EXPECT_EQ(compatibilityError("dorvi-5.2.103.zip"),
            "Обновления на версии ниже 5.2.104 не поддерживаются");
  EXPECT_EQ(compatibilityError("am-5.3.1.zip"),
            "Файл обновления \"am-5.3.1.zip\" не совместим с текущей версией ПО");
}

TEST(UpdateInfo, ReadsUpdaterAndExtractList) {
  const uint32_t fallback = adt::makeVersion(5, 0, 0);
  UpdateInfo info = parseUpdateInfo(
      "# manager update\r\nUpdater = 5.2.500\r\nextract= am , am.ini,, x y #note\nother=1",
      fallback);
  EXPECT_EQ(info.updater, adt::makeVersion(5, 2, 500));
  EXPECT_EQ(info.unreadableUpdater, "");
  EXPECT_EQ(info.extract, (std::vector<adt::String>{"am", "am.ini", "x y"}));

  info = parseUpdateInfo("extract=\n", fallback);
  EXPECT_EQ(info.updater, fallback);
  EXPECT_TRUE(info.extract.empty());

  info = parseUpdateInfo("updater=5.3\n", fallback);
  EXPECT_EQ(info.unreadableUpdater, "5.3");
}

}  // namespace
}  // namespace updates
