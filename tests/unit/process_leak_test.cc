// What a child inherits (only what it is given) and the named pipes agents write to.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/self.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using testsupport::waitUntil;

// What a handle refers to ("socket:[123]", "pipe:[45]", "/dev/null"); "" when unreadable.
std::string handleTarget(const std::string& pid, int handle) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + pid + "/fd/" + std::to_string(handle), ec).string();
}

class ChildHandlesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    key_ = (uint64_t{rd()} << 32) ^ rd();
  }
  void TearDown() override {
    if (child_.valid() && !child_.hasEnded()) {
      child_.terminate();
      EXPECT_TRUE(waitUntil([&] { return child_.hasEnded(); }));
    }
  }

  // Starts `script` under /bin/sh with its output in `pipe`; returns the first line it prints.
  // The script ends by turning into a long sleep, so its handles can be read from outside.
  std::string startAndReadLine(const std::string& script, const std::vector<int>& sockets) {
    EXPECT_TRUE(pipe_.create());
    SpawnOptions o;
    o.args = {"/bin/sh", "-c", script};
    o.outputHandle = pipe_.writeHandle();
    o.inheritedSockets = sockets;
    EXPECT_TRUE(child_.spawn(o)) << systemErrorText(lastError());
    std::string out;
    EXPECT_TRUE(waitUntil([&] {
      waitPipeReadable(pipe_.readHandle(), 50);
      return pipe_.drain(out) == PipeRead::kError || out.find('\n') != std::string::npos;
    }));
    EXPECT_TRUE(childBecameSleep());
    return out.substr(0, out.find('\n'));
  }

  // Waits until the child has turned into the sleep program; false when it did not in time.
  bool childBecameSleep() const {
    const std::string exe = "/proc/" + std::to_string(child_.pid()) + "/exe";
    return waitUntil([&] {
      std::error_code ec;
      return fs::read_symlink(exe, ec).filename() == "sleep";
    });
  }

  // The child's handles once it has settled: the program itself may hold a file open for a
  // moment while it starts, but a leaked handle stays for good.
  std::set<int> settledHandles(const std::set<int>& expected) {
    std::set<int> seen;
    waitUntil([&] { return (seen = childHandles()) == expected; }, std::chrono::seconds(10));
    return seen;
  }

  std::set<int> childHandles() {
    std::set<int> handles;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(child_.pid()) + "/fd")) {
      handles.insert(std::stoi(e.path().filename().string()));
    }
    return handles;
  }

  uint64_t key_ = 0;
  const testsupport::TempDir temp_;
  const std::string dir_ = temp_.path();
  OutputPipe pipe_;
  Process child_;
};

TEST_F(ChildHandlesTest, ListeningSocketsArriveAsThreeAndFourAndNothingElseLeaks) {
  // Made first, so that they tend to sit on 3 and 4 themselves and must trade places.
  LeaveMarker first, second;
  ASSERT_TRUE(first.create(key_));
  ASSERT_TRUE(second.create(key_ + 1));
  // Handles the child must not see: a listening socket, a pipe, a named pipe with its lock,
  // and a file opened without close-on-exec, as a careless library might.
  LeaveMarker other;
  ASSERT_TRUE(other.create(key_ + 2));
  OutputPipe unrelated;
  ASSERT_TRUE(unrelated.create());
  NamedPipe named;
  ASSERT_EQ(named.create(dir_, "agents/a1"), PipeCreate::kCreated);
  std::unique_ptr<FILE, int (*)(FILE*)> careless(std::fopen("/dev/null", "r"), &std::fclose);
  ASSERT_NE(careless, nullptr);

  const std::string line = startAndReadLine(
      "echo \"$LISTEN_FDS $LISTEN_PID $$\"; exec /bin/sleep 60", {second.handle(), first.handle()});
  const std::string pid = std::to_string(child_.pid());
  EXPECT_EQ(line, "2 " + pid + " " + pid);
  EXPECT_EQ(settledHandles({0, 1, 2, 3, 4}), (std::set<int>{0, 1, 2, 3, 4}));
  const std::string self = std::to_string(currentProcessId());
  EXPECT_EQ(handleTarget(pid, 3), handleTarget(self, second.handle()));
  EXPECT_EQ(handleTarget(pid, 4), handleTarget(self, first.handle()));
  EXPECT_EQ(handleTarget(pid, 0), "/dev/null");
  EXPECT_EQ(handleTarget(pid, 1), handleTarget(self, pipe_.writeHandle()));
  EXPECT_EQ(handleTarget(pid, 2), handleTarget(self, pipe_.writeHandle()));
}

TEST_F(ChildHandlesTest, WithoutSocketsOnlyTheStandardHandlesAndNoInheritedAnnouncement) {
  // An announcement this process got from its own starter must not reach its children.
  ::setenv("LISTEN_FDS", "3", 1);
  ::setenv("LISTEN_PID", "1", 1);
  LeaveMarker listening;
  ASSERT_TRUE(listening.create(key_));
  const std::string line =
      startAndReadLine("echo \"[${LISTEN_FDS-none}${LISTEN_PID-none}]\"; exec /bin/sleep 60", {});
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  EXPECT_EQ(line, "[nonenone]");
  EXPECT_EQ(settledHandles({0, 1, 2}), (std::set<int>{0, 1, 2}));
}

TEST_F(ChildHandlesTest, ARaisedDescriptorLimitIsNotPassedOnToTheChild) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 2048) GTEST_SKIP() << "the hard descriptor limit is too low to raise";
  // As a process started with the usual soft limit would find it.
  rlimit usual = saved;
  usual.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &usual), 0);
  const platform::DescriptorLimit raised = platform::raiseDescriptorLimit();
  EXPECT_EQ(raised.soft, static_cast<uint64_t>(saved.rlim_max));
  const std::string line = startAndReadLine("ulimit -n; exec /bin/sleep 60", {});
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(line, "1024");
}

TEST_F(ChildHandlesTest, WithoutOutputHandleEverythingGoesToDevNull) {
  SpawnOptions o;
  o.args = {"/bin/sleep", "60"};
  ASSERT_TRUE(child_.spawn(o));
  ASSERT_TRUE(childBecameSleep());
  const std::string pid = std::to_string(child_.pid());
  EXPECT_EQ(settledHandles({0, 1, 2}), (std::set<int>{0, 1, 2}));
  for (int h = 0; h < 3; ++h) EXPECT_EQ(handleTarget(pid, h), "/dev/null");
}

// --- Named pipes ---

class NamedPipeTest : public ChildHandlesTest {
 protected:
  // Reads until every writer is gone.
  static std::string readToEnd(NamedPipe& pipe) {
    std::string out;
    PipeRead r = PipeRead::kWouldBlock;
    EXPECT_TRUE(waitUntil([&] {
      r = pipe.drain(out);
      return r != PipeRead::kWouldBlock;
    }));
    EXPECT_EQ(r, PipeRead::kEnd);
    return out;
  }
};

TEST_F(NamedPipeTest, SecondHolderIsBusyUntilTheFirstLetsGo) {
  const std::string name = "vantor/am/42/agents/a1";
  NamedPipe a, b;
  ASSERT_EQ(a.create(dir_, name, 262144), PipeCreate::kCreated) << systemErrorText(lastError());
  EXPECT_EQ(a.path(), dir_ + "/" + name);
  EXPECT_TRUE(fs::is_fifo(a.path()));
  EXPECT_EQ(fs::status(dir_ + "/vantor/am").permissions(), fs::perms::owner_all);
  EXPECT_EQ(b.create(dir_, name), PipeCreate::kBusy);
  EXPECT_EQ(systemErrorText(lastError()), "Device or resource busy");
  EXPECT_FALSE(b.isOpen());
  // Another name is free; so is this one once the holder is gone, and its FIFO with it.
  EXPECT_EQ(b.create(dir_, name + "_"), PipeCreate::kCreated);
  a.close();
  EXPECT_FALSE(fs::exists(dir_ + "/" + name));
  EXPECT_EQ(a.create(dir_, name), PipeCreate::kCreated);
}

TEST_F(NamedPipeTest, HolderInAnotherProcessIsBusyAndFreesTheNameWhenItDies) {
  if (!fs::exists("/usr/bin/flock")) GTEST_SKIP() << "no flock program";
  const std::string name = "agents/a1";
  fs::create_directories(dir_ + "/agents");
  // The shell's handle 9 takes the lock and goes on into the sleep: one process holds it.
  const std::string script = "exec 9>>'" + dir_ + "/" + name +
                             ".lock'; /usr/bin/flock -n 9 && echo locked; " + "exec /bin/sleep 60";
  ASSERT_EQ(startAndReadLine(script, {}), "locked");
  NamedPipe pipe;
  EXPECT_EQ(pipe.create(dir_, name), PipeCreate::kBusy);
  ASSERT_TRUE(child_.terminate());
  ASSERT_TRUE(waitUntil([&] { return child_.hasEnded(); }));
  EXPECT_EQ(pipe.create(dir_, name), PipeCreate::kCreated) << systemErrorText(lastError());
}

TEST_F(NamedPipeTest, OutputOutlivesItsWriter) {
  NamedPipe pipe;
  ASSERT_EQ(pipe.create(dir_, "agents/a2"), PipeCreate::kCreated);
  SpawnOptions o;
  // Like an agent: the output pipe is opened by name, the standard handles go nowhere.
  o.args = {"/bin/sh", "-c", "exec >\"$0\"; echo first; echo second; exit 3", pipe.path()};
  ASSERT_TRUE(child_.spawn(o));
  ASSERT_TRUE(waitUntil([&] { return child_.hasEnded(); }));
  EXPECT_EQ(child_.exitStatus().code, 3);
  EXPECT_EQ(readToEnd(pipe), "first\nsecond\n");
}

TEST_F(NamedPipeTest, LiveWriterShowsAsWouldBlockUntilItEnds) {
  NamedPipe pipe;
  ASSERT_EQ(pipe.create(dir_, "agents/a3"), PipeCreate::kCreated);
  SpawnOptions o;
  o.args = {"/bin/sh", "-c", "exec >\"$0\"; echo hello; exec /bin/sleep 60", pipe.path()};
  ASSERT_TRUE(child_.spawn(o));
  std::string out;
  ASSERT_TRUE(
      waitUntil([&] { return pipe.drain(out) == PipeRead::kWouldBlock && out == "hello\n"; }));
  ASSERT_TRUE(child_.terminate());
  EXPECT_EQ(readToEnd(pipe), "");
  EXPECT_EQ(out, "hello\n");
}

TEST_F(NamedPipeTest, NewHolderNeverSeesAnOldWriterOrItsOutput) {
  const std::string name = "agents/a4";
  NamedPipe old;
  ASSERT_EQ(old.create(dir_, name), PipeCreate::kCreated);
  const int writer = openNamedPipeWriter(old.path());
  ASSERT_GE(writer, 0) << systemErrorText(lastError());
  ASSERT_TRUE(writePipe(writer, "stale", 5));
  old.close();  // the old manager goes; its agent keeps the handle
  NamedPipe fresh;
  ASSERT_EQ(fresh.create(dir_, name), PipeCreate::kCreated);
  std::string out;
  EXPECT_EQ(fresh.drain(out), PipeRead::kEnd);  // no writer attached to the new pipe
  EXPECT_EQ(out, "");
  closePipeHandle(writer);
  fresh.close();
  EXPECT_EQ(openNamedPipeWriter(dir_ + "/" + name), -1);
}

TEST_F(NamedPipeTest, RootMustBeAPrivateDirectory) {
  NamedPipe pipe;
  fs::create_directory(dir_ + "/real");
  fs::create_directory_symlink(dir_ + "/real", dir_ + "/link");
  EXPECT_EQ(pipe.create(dir_ + "/link", "a"), PipeCreate::kFailed);
  std::FILE* f = std::fopen((dir_ + "/file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(pipe.create(dir_ + "/file", "a"), PipeCreate::kFailed);
  EXPECT_EQ(systemErrorText(lastError()), "Not a directory");
  EXPECT_EQ(pipe.create(dir_, "/abs"), PipeCreate::kFailed);
  EXPECT_EQ(pipe.create(dir_, ""), PipeCreate::kFailed);
  EXPECT_FALSE(pipe.isOpen());
  EXPECT_EQ(defaultPipeRoot(), "/tmp/.am-pipe");
}

}  // namespace
}  // namespace platform
