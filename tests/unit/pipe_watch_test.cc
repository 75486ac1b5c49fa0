// The pipe watch on every system: one look says which read ends may have something.
#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "platform/pipe.h"

namespace platform {
namespace {

TEST(PipeWatchTest, ReportsAnEndWithDataOrItsWriterGoneAndNotAnEmptyOne) {
  OutputPipe quiet, busy, ended;
  ASSERT_TRUE(quiet.create());
  ASSERT_TRUE(busy.create());
  ASSERT_TRUE(ended.create());
  PipeWatch watch;
  for (auto* p : {&quiet, &busy, &ended}) ASSERT_TRUE(watch.add(p->readHandle()));
  EXPECT_EQ(watch.size(), 3u);
  // Before any look every end may be ready.
  EXPECT_TRUE(watch.mayBeReady(quiet.readHandle()));

  ASSERT_EQ(writeFile(busy.writeHandle(), "x", 1), 1);
  ended.closeWriteEnd();
  ASSERT_TRUE(watch.look());
  EXPECT_FALSE(watch.mayBeReady(quiet.readHandle()));
  EXPECT_TRUE(watch.mayBeReady(busy.readHandle()));
  EXPECT_TRUE(watch.mayBeReady(ended.readHandle()));
  // Level-triggered: unread data is reported again; once read, no more.
  ASSERT_TRUE(watch.look());
  EXPECT_TRUE(watch.mayBeReady(busy.readHandle()));
  std::string got;
  EXPECT_EQ(busy.drain(got), PipeRead::kWouldBlock);
  EXPECT_EQ(got, "x");
  ASSERT_TRUE(watch.look());
  EXPECT_FALSE(watch.mayBeReady(busy.readHandle()));
  // An end no longer watched counts as ready.
  watch.remove(quiet.readHandle());
  EXPECT_TRUE(watch.mayBeReady(quiet.readHandle()));
  EXPECT_EQ(watch.size(), 2u);
}

}  // namespace
}  // namespace platform
