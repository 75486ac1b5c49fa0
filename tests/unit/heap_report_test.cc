// The allocator's own report of this very process read back: every arena, the totals, and the
// split into one report per arena; malformed texts refused.
#include "server/heap_report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "adt/exception.h"
#include "child.h"
#include "platform/system_status.h"

namespace server {
namespace {

TEST(HeapReport, TheProcessesOwnReportReadsBackArenaByArena) {
#ifdef AM_SANITIZED
  GTEST_SKIP() << "the address sanitizer's allocator stands in for the system heap it reports";
#endif
  // A second thread makes a second arena.
  std::unique_ptr<char[]> kept;
  std::thread([&] { kept.reset(new char[100000]); }).join();
  testsupport::TempDir dir;
  const std::string dump = dir.file("am.hdmp");
  ASSERT_TRUE(platform::writeHeapReport(dump));
  const HeapReport report = parseHeapReport(testsupport::readFile(dump));
  ASSERT_GE(report.arenas.size(), 1u);
  EXPECT_EQ(report.arenas[0].number, "0");
  uint64_t sum = 0;
  for (const HeapArena& a : report.arenas) {
    EXPECT_GT(a.figures.systemBytes, 0u) << a.number;
    EXPECT_GE(a.figures.systemMaxBytes, a.figures.systemBytes);
    sum += a.figures.systemBytes;
  }
  EXPECT_EQ(report.total.systemBytes, sum);

  const std::vector<std::string> pieces = splitHeapReport(dump, report);
  ASSERT_EQ(pieces.size(), report.arenas.size());
  const HeapReport first = parseHeapReport(testsupport::readFile(pieces[0]));
  ASSERT_EQ(first.arenas.size(), 1u);
  EXPECT_EQ(first.arenas[0].figures.systemBytes, report.arenas[0].figures.systemBytes);
  EXPECT_NE(heapReportSummary(report).find("всего арен: " + std::to_string(report.arenas.size())),
            std::string::npos);
}

TEST(HeapReport, TextsThatAreNoReportAreRefused) {
  for (const char* text :
       {"", "<malloc version=\"1\">", "<malloc version=\"1\">\n<heap nr=\"0\">\n</malloc>",
        "<malloc version=\"1\">\n<heap nr=\"x\"></heap>\n</malloc>",
        "<malloc version=\"1\">\n<total type=\"rest\" count=\"\" size=\"1\"/>\n</malloc>",
        "<malloc version=\"1\">\n<total type=\"rest\" count=\"99999999999999999999999\" "
        "size=\"1\"/>\n</malloc>"}) {
    EXPECT_THROW(parseHeapReport(text), adt::Exception) << text;
  }
}

}  // namespace
}  // namespace server
