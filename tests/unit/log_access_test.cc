// Which files the log requests serve and list: only inside the log directories, with every
// spelling of a way out ("..", "\", absolute names, symbolic links) refused.
#include "clients/log_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "adt/exception.h"
#include "child.h"

namespace clients {
namespace {

using testsupport::TempDir;
using testsupport::writeFile;

class LogAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((home_ + "/log").c_str(), 0700);
    ::mkdir((home_ + "/log/k1").c_str(), 0700);
    ::mkdir(agentLogs_.c_str(), 0700);
    writeFile(home_ + "/am.sec", "secret");
    writeFile(home_ + "/log/am.log", "log");
    writeFile(agentLogs_ + "/agent.log", "agent");
  }
  std::string resolve(const std::string& name) {
    return resolveLogFile(home_, name, {home_ + "/log", agentLogs_});
  }
  bool refused(const std::string& name) {
    try {
      resolve(name);
      return false;
    } catch (const adt::Exception& e) {
      EXPECT_STREQ(e.what(), "Абсолютные пути запрещены") << name;
      return true;
    }
  }

  TempDir dir_;
  const std::string home_ = dir_.path();
  const std::string agentLogs_ = dir_.path() + "/agentlogs";
};

TEST_F(LogAccess, ServesInsideTheLogDirectoriesOnly) {
  EXPECT_EQ(resolve("log/am.log"), home_ + "/log/am.log");
  EXPECT_EQ(resolve("log\\am.log"), home_ + "/log/am.log");
  EXPECT_EQ(resolve("log/k1/k1.out"), home_ + "/log/k1/k1.out");  // not there yet: may appear
  EXPECT_EQ(resolve("agentlogs/agent.log"), agentLogs_ + "/agent.log");
  EXPECT_EQ(resolve("log/k1/../am.log"), home_ + "/log/am.log");
  for (const char* name :
       {"am.sec", "../am.sec", "log/../am.sec", "log\\..\\am.sec", "log/./../am.sec",
        "log/k1/../../am.sec", "./am.sec", "am.ini", "log", "log/", "x", ".", "..",
        "/etc/passwd", "\\x.log", "C:\\x.log", "c:x", "//etc/passwd", "log/../../../etc/passwd",
        "agentlogs/../am.sec", ""}) {
    EXPECT_TRUE(refused(name)) << name;
  }
}

TEST_F(LogAccess, SymbolicLinksAreJudgedByWhatTheyPointTo) {
  ASSERT_EQ(::symlink((home_ + "/am.sec").c_str(), (home_ + "/log/x.log").c_str()), 0);
  EXPECT_TRUE(refused("log/x.log"));
  ASSERT_EQ(::symlink(home_.c_str(), (home_ + "/log/up").c_str()), 0);
  EXPECT_TRUE(refused("log/up/am.sec"));
  // A link that stays inside is fine.
  ASSERT_EQ(::symlink((home_ + "/log/am.log").c_str(), (home_ + "/log/current.log").c_str()), 0);
  EXPECT_EQ(resolve("log/current.log"), home_ + "/log/current.log");
}

TEST(LogListing, PrefixThenOptionalDateThenExtension) {
  EXPECT_TRUE(isLogName("am.log", "am"));
  EXPECT_TRUE(isLogName("am.err", "am"));
  EXPECT_TRUE(isLogName("am.warn", "am"));
  EXPECT_TRUE(isLogName("am-2026-12-06.log", "am"));
  EXPECT_FALSE(isLogName("am.ddl.log", "am"));
  EXPECT_FALSE(isLogName("am-2026-1-06.log", "am"));
  EXPECT_FALSE(isLogName("am-2026-12-0x.log", "am"));
  EXPECT_FALSE(isLogName("amx.log", "am"));
  EXPECT_FALSE(isLogName("am.sec", "am"));
  EXPECT_FALSE(isLogName("am.log.1", "am"));

  TempDir dir;
  writeFile(dir.file("am.log"), std::string(3000, 'x'));
  writeFile(dir.file("am-2026-12-05.err"), "e");
  writeFile(dir.file("am.sec"), "s");
  writeFile(dir.file("other.log"), "o");
  ::mkdir(dir.file("am-2026-12-04.log").c_str(), 0700);  // a directory is no log file
  const std::vector<LogFileEntry> files = listLogFiles(dir.path(), "am");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "am-2026-12-05.err");
  EXPECT_EQ(files[1].name, "am.log");
  EXPECT_EQ(files[1].size, 3000u);
  EXPECT_TRUE(listLogFiles(dir.file("missing"), "am").empty());
}

}  // namespace
}  // namespace clients
