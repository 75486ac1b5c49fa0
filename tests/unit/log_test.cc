#include "adt/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "adt/exception.h"
#include "adt/log_path.h"
#include "child.h"
#include "data.h"
#include "log_recorder.h"
#include "platform/file.h"
#include "platform/self.h"
#include "temp_log.h"

namespace adt {
namespace {

namespace fs = std::filesystem;

using testsupport::countOf;
using testsupport::writeFile;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < text.size()) {
    const size_t j = text.find("\r\n", i);
    if (j == std::string::npos) {
      lines.push_back(text.substr(i));
      break;
    }
    lines.push_back(text.substr(i, j - i));
    i = j + 2;
  }
  return lines;
}

const char kStamp[] = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{3} )";

// Each test logs into a fresh directory and starts as a fresh process would.
class LogFiles : public ::testing::Test {
 protected:
  std::string file(const char* suffix) const { return logs_.read(suffix); }
  std::string ids() const {
    return "[" + std::to_string(platform::currentProcessId()) + "," +
           std::to_string(platform::currentThreadId()) + "] ";
  }

  const testsupport::TempLogFiles logs_;
  const std::string dir_ = logs_.dir();
  const std::string base_ = logs_.base();
};

TEST_F(LogFiles, LineFormatForEveryLevel) {
  log(LOG_INFO, "hello");
  log(LOG_DBG, "dbg text");
  log(LOG_WARN, "agent is slow");
  log(LOG_ERR, "broken");
  log(LOG_DDL, "ddl text");
  log(LOG_DANGER, "danger text");
  log(LOG_INFO, String("Привет"));  // stored in Windows-1251

  const std::string text = file(".log");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(countOf(text, "\n"), countOf(text, "\r\n"));  // every line ends with CR LF
  const std::vector<std::string> lines = splitLines(text);
  ASSERT_EQ(lines.size(), 9u);

  const std::string id = std::regex_replace(ids(), std::regex(R"([\[\]])"), R"(\$&)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      lines[0], m, std::regex(std::string("^") + kStamp + id + "Program start: (.+) logtail: 0$")))
      << lines[0];
  EXPECT_EQ(m[1].str(), platform::executablePath());
  const char* expected[] = {"INFO  Main log: cut at 104857600 bytes to its last 10485760 bytes",
                            "INFO  hello",
                            "DBG dbg text",
                            "WARN agent is slow",
                            "ERR broken",
                            "DDL ddl text",
                            "DANGER danger text",
                            "INFO  \xCF\xF0\xE8\xE2\xE5\xF2"};
  const std::regex entry(std::string("^") + kStamp + id + "(.*)$");
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(std::regex_match(lines[i + 1], m, entry)) << lines[i + 1];
    EXPECT_EQ(m[1].str(), expected[i]);
  }
}

TEST_F(LogFiles, CategoriesGetTheirOwnFilesAndStartLineOnce) {
  log(LOG_INFO, "first");
  log(LOG_WARN, "only main");
  log(LOG_ERR, "an error");
  log(LOG_DDL, "a ddl");
  log(LOG_DANGER, "a danger");

  const std::string main = file(".log"), err = file(".err");
  const std::string ddl = file(".ddl.log"), danger = file(".danger.log");
  EXPECT_NE(main.find("WARN only main\r\n"), std::string::npos);
  EXPECT_NE(main.find("ERR an error\r\n"), std::string::npos);
  EXPECT_NE(main.find("DDL a ddl\r\n"), std::string::npos);
  EXPECT_NE(main.find("DANGER a danger\r\n"), std::string::npos);

  ASSERT_EQ(splitLines(err).size(), 1u);
  EXPECT_NE(err.find("ERR an error\r\n"), std::string::npos);
  ASSERT_EQ(splitLines(ddl).size(), 1u);
  EXPECT_NE(ddl.find("DDL a ddl\r\n"), std::string::npos);
  ASSERT_EQ(splitLines(danger).size(), 1u);
  EXPECT_NE(danger.find("DANGER a danger\r\n"), std::string::npos);

  // The start line heads the first file written and appears nowhere else.
  EXPECT_EQ(splitLines(main)[0].find("Program start: "), 24u + ids().size());
  EXPECT_EQ(countOf(main + err + ddl + danger, "Program start: "), 1u);
}

TEST_F(LogFiles, StartLineGoesIntoWhicheverFileIsFirst) {
  log(LOG_ERR, "error first");
  const std::string err = file(".err");
  const std::vector<std::string> lines = splitLines(err);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Program start: "), std::string::npos);
  EXPECT_EQ(file(".log").find("Program start"), std::string::npos);
  EXPECT_NE(file(".log").find("ERR error first\r\n"), std::string::npos);
}

TEST_F(LogFiles, SinkReceivesMessagesInsteadOfTheFiles) {
  std::vector<testsupport::LogRecorder::Line> seen;
  {
    testsupport::LogRecorder recorder;
    log(LOG_WARN, "to the sink");
    LogLine(LOG_ERR) << "built " << 42 << " pieces";
    LogLine(LOG_DBG, false) << "disabled";
    seen = recorder.lines();
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].level, LOG_WARN);
  EXPECT_EQ(seen[0].text, "to the sink");
  EXPECT_EQ(seen[1].level, LOG_ERR);
  EXPECT_EQ(seen[1].text, "built 42 pieces");
  EXPECT_FALSE(fs::exists(base_ + ".log"));
}

TEST_F(LogFiles, CategoryFileIsCutToItsTailAtTheCap) {
  log(LOG_INFO, "start");  // the start line goes into the main log

  // Just below the cap nothing is cut.
  std::string below(10485759, 'a');
  writeFile(base_ + ".err", below);
  log(LOG_ERR, "below cap");
  std::string err = file(".err");
  ASSERT_GT(err.size(), below.size());
  EXPECT_EQ(err.compare(0, below.size(), below), 0);
  EXPECT_TRUE(std::regex_match(
      err.substr(below.size()),
      std::regex(std::string("^") + kStamp + R"(\[\d+,\d+\] ERR below cap\r\n$)")));

  // At the cap the last 1,048,576 bytes (here not starting at a line boundary) are kept.
  std::string full;
  full.reserve(10485760);
  for (uint32_t i = 0; full.size() < 10485760; ++i) full += "line " + std::to_string(i) + "\n";
  full.resize(10485760);
  writeFile(base_ + ".err", full);
  log(LOG_ERR, "over cap");
  err = file(".err");
  const std::string head = "Log above is cutted\n" + full.substr(full.size() - 1048576);
  ASSERT_GT(err.size(), head.size());
  EXPECT_EQ(err.substr(0, head.size()), head);
  const std::string rest = err.substr(head.size());
  EXPECT_TRUE(std::regex_match(
      rest, std::regex(std::string("^") + kStamp + R"(\[\d+,\d+\] ERR over cap\r\n$)")))
      << rest;
}

TEST_F(LogFiles, HugeMainLogIsEmptiedAtTheFirstAppendOnly) {
  // A sparse 2 GiB file stands for the main log left by an earlier run.
  platform::FileHandle h =
      platform::openFile(base_ + ".log", platform::kAccessReadWrite, platform::kCreateAlways);
  ASSERT_NE(h, platform::kNoFile);
  ASSERT_TRUE(platform::truncateFile(h, 2ull << 30));
  platform::closeFile(h);

  log(LOG_INFO, "new run");
  std::string main = file(".log");
  ASSERT_LT(main.size(), 1000u);
  std::vector<std::string> lines = splitLines(main);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("Program start: "), std::string::npos);
  EXPECT_NE(lines[2].find("INFO  new run"), std::string::npos);

  // A smaller log of an earlier run is kept; the start line follows it.
  resetLogStartForTesting();
  writeFile(base_ + ".log", "old run\r\n");
  log(LOG_INFO, "next run");
  lines = splitLines(file(".log"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "old run");
  EXPECT_NE(lines[1].find("Program start: "), std::string::npos);
}

TEST_F(LogFiles, UnwritableBaseLosesLinesSilently) {
  setLogBase(dir_ + "/missing/dir/am");
  log(LOG_ERR, "nowhere");  // must neither throw nor create anything
  EXPECT_FALSE(fs::exists(dir_ + "/missing"));
  setLogBase(base_);
  log(LOG_INFO, "after");
  EXPECT_NE(file(".log").find("INFO  after"), std::string::npos);
}

TEST_F(LogFiles, ConcurrentWritersLoseNothingUnderTheBound) {
  // 4 x 150 lines of about 70 bytes stay below the 64 KiB pending bound even if every line
  // had to wait for one slow write.
  constexpr int kThreads = 4, kLines = 150;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &go] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) log(LOG_INFO, format("writer %d line %03d", t, i));
    });
  }
  go = true;
  for (auto& th : threads) th.join();

  const std::vector<std::string> lines = splitLines(file(".log"));
  ASSERT_EQ(lines.size(), 2u + kThreads * kLines);
  std::vector<int> next(kThreads, 0);
  const std::regex re(std::string("^") + kStamp + R"(\[\d+,\d+\] INFO  writer (\d) line (\d{3})$)");
  for (size_t i = 2; i < lines.size(); ++i) {  // after the start line and the limits line
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, re)) << lines[i];
    const int t = std::stoi(m[1].str());
    EXPECT_EQ(std::stoi(m[2].str()), next[t]) << "lines of one writer keep their order";
    next[t] = std::stoi(m[2].str()) + 1;
  }
}

// --- Log base from the command line --------------------------------------------------------

class LogBase : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir_ + "/srv"); }
  String resolve(std::vector<const char*> args) {
    args.insert(args.begin(), "am");
    return resolveLogBase(static_cast<int>(args.size()), args.data(), exe_);
  }

  const testsupport::TempDir temp_;
  const std::string dir_ = temp_.path();
  std::string exe_ = dir_ + "/srv/am";
};

TEST_F(LogBase, RelativePathsAreBesideTheExecutable) {
  EXPECT_EQ(resolve({"--log", "logs\\am.log"}), dir_ + "/srv/logs/am");
  EXPECT_TRUE(fs::is_directory(dir_ + "/srv/logs"));
  EXPECT_EQ(resolve({"--console", "--log", "other/run.txt"}), dir_ + "/srv/other/run");
  EXPECT_TRUE(fs::is_directory(dir_ + "/srv/other"));
  EXPECT_EQ(resolve({"--log", "../up/x"}), dir_ + "/up/x");
  EXPECT_EQ(resolve({"--log", "logs/name.d"}), dir_ + "/srv/logs/name.d");
  EXPECT_EQ(resolve({"--log", "logs/page.html"}), dir_ + "/srv/logs/page");
  EXPECT_EQ(resolve({"--log", "a.b/c"}), dir_ + "/srv/a.b/c");  // a dot in a directory
  EXPECT_EQ(resolve({"--log", "ab.c/de"}), dir_ + "/srv/ab.c/de");
  // The first --log wins.
  EXPECT_EQ(resolve({"--log", "logs/one", "--log", "logs/two"}), dir_ + "/srv/logs/one");
}

TEST_F(LogBase, AbsolutePathIsKept) {
  EXPECT_EQ(resolve({"--log", (dir_ + "/abs/y.log").c_str()}), dir_ + "/abs/y");
  EXPECT_TRUE(fs::is_directory(dir_ + "/abs"));
  EXPECT_EQ(resolve({"--log", (dir_ + "/abs/z").c_str()}), dir_ + "/abs/z");
}

TEST_F(LogBase, DefaultIsTheLogDirectoryBesideTheExecutable) {
  // "--log" as the last argument has no value and is ignored.
  EXPECT_EQ(resolve({"--console", "--log"}), dir_ + "/srv/log/am");
  EXPECT_TRUE(fs::is_directory(dir_ + "/srv/log"));
  EXPECT_EQ(resolve({}), dir_ + "/srv/log/am");
  exe_ = dir_ + "/srv/am.bin";
  EXPECT_EQ(resolve({}), dir_ + "/srv/log/am");

  // When the log directory cannot be made, the files go beside the executable.
  fs::create_directory(dir_ + "/other");
  writeFile(dir_ + "/other/log", "a file, not a directory");
  exe_ = dir_ + "/other/am.bin";
  EXPECT_EQ(resolve({}), dir_ + "/other/am");
}

TEST_F(LogBase, DirectoryThatCannotBeCreatedStopsStartUp) {
  writeFile(dir_ + "/srv/plain", "x");
  const std::string bad = dir_ + "/srv/plain/sub";
  try {
    resolve({"--log", "plain/sub/am.log"});
    FAIL() << "no exception";
  } catch (const IOException& e) {
    const std::string prefix = "\"" + bad + "\": ";
    EXPECT_EQ(e.text().substr(0, prefix.size()), prefix);
    EXPECT_GT(e.text().size(), prefix.size());
  }
  EXPECT_THROW(resolve({"--log", "missing/parent/am.log"}), IOException);
}

TEST_F(LogFiles, TheMainLogIsCutAtItsCapDuringARun) {
  setMainLogLimitsForTesting(4096, 1024);
  const std::string line(100, 'x');
  for (int i = 0; i < 200; ++i) log(LOG_INFO, line.c_str());
  setMainLogLimitsForTesting(kMainLogCap, kMainLogKeptTail);
  const std::string main = file(".log");
  // At most the cap plus the line that followed the cut.
  EXPECT_LT(main.size(), 4096u + 200u);
  EXPECT_EQ(main.rfind("Log above is cutted\n", 0), 0u) << main.substr(0, 40);
  EXPECT_NE(main.find(line + "\r\n"), std::string::npos);
}

TEST(LogClip, ClientTextsAreCutWholeCharactersAtTheLimit) {
  EXPECT_EQ(clip("short"), "short");
  EXPECT_EQ(clip(std::string(256, 'a')), std::string(256, 'a'));
  EXPECT_EQ(clip(std::string(257, 'a')), std::string(256, 'a') + "\u2026");
  EXPECT_EQ(clip(std::string(1 << 20, 'b')).size(), 256u + 3u);
  // Two-byte letters are never split.
  EXPECT_EQ(clip("\u0416\u0416\u0416", 2), "\u0416\u0416\u2026");
}

}  // namespace
}  // namespace adt
