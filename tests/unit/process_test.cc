#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "child.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/self.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using testsupport::waitUntil;

// Descriptors are reused at once here (the lowest free one), so a new pipe can take the number
// of an end just removed from the watch.
TEST(PipeWatchTest, KeepsTheRecordsOfAReusedDescriptorApart) {
  OutputPipe old, other;
  ASSERT_TRUE(old.create());
  ASSERT_TRUE(other.create());
  PipeWatch watch;
  ASSERT_TRUE(watch.add(old.readHandle()));
  ASSERT_TRUE(watch.add(other.readHandle()));
  ASSERT_EQ(writeFile(old.writeHandle(), "x", 1), 1);
  ASSERT_TRUE(watch.look());
  ASSERT_TRUE(watch.mayBeReady(old.readHandle()));

  // A second remove changes nothing.
  const int reused = old.readHandle();
  watch.remove(reused);
  watch.remove(reused);
  EXPECT_EQ(watch.size(), 1u);
  // The new pipe's end is a new record: ready until a look has seen it, then quiet, whatever
  // the old end's record said.
  old.close();
  OutputPipe next;
  ASSERT_TRUE(next.create());
  ASSERT_EQ(next.readHandle(), reused);
  ASSERT_TRUE(watch.add(next.readHandle()));
  EXPECT_EQ(watch.size(), 2u);
  EXPECT_TRUE(watch.mayBeReady(next.readHandle()));
  ASSERT_TRUE(watch.look());
  EXPECT_FALSE(watch.mayBeReady(next.readHandle()));
  // Adding a watched end again does not count it twice.
  ASSERT_TRUE(watch.add(next.readHandle()));
  EXPECT_EQ(watch.size(), 2u);
  // A descriptor beyond every one watched is simply not watched.
  EXPECT_TRUE(watch.mayBeReady(reused + 1000));
  watch.remove(reused + 1000);
  EXPECT_EQ(watch.size(), 2u);
}

TEST(CommandLineTest, SplitsOnBlanksAndGroupsQuotes) {
  EXPECT_EQ(splitCommandLine(""), Args{});
  EXPECT_EQ(splitCommandLine("  \t "), Args{});
  EXPECT_EQ(splitCommandLine("a  b\tc "), (Args{"a", "b", "c"}));
  EXPECT_EQ(splitCommandLine("/opt/x/dorvi --name \"My Agent\" --am-key 42"),
            (Args{"/opt/x/dorvi", "--name", "My Agent", "--am-key", "42"}));
  // Quotes glue to their neighbours and vanish; "" is an empty argument of its own.
  EXPECT_EQ(splitCommandLine("--x=\"a b\"c \"\" d"), (Args{"--x=a bc", "", "d"}));
  EXPECT_EQ(splitCommandLine("\"unclosed group  runs"), (Args{"unclosed group  runs"}));
}

TEST(CommandLineTest, BackslashesEscapeOnlyQuotes) {
  EXPECT_EQ(splitCommandLine(R"(say \"hi\")"), (Args{"say", "\"hi\""}));
  EXPECT_EQ(splitCommandLine(R"("in \"quotes\" too")"), (Args{"in \"quotes\" too"}));
  EXPECT_EQ(splitCommandLine(R"(C:\dir\file a\\b)"), (Args{R"(C:\dir\file)", R"(a\\b)"}));
  // Before a quote, pairs of backslashes give one each; an odd one makes the quote literal.
  EXPECT_EQ(splitCommandLine(R"("C:\dir\\" next)"), (Args{R"(C:\dir\)", "next"}));
  EXPECT_EQ(splitCommandLine(R"(a\\\"b)"), (Args{R"(a\"b)"}));
}

TEST(CommandLineTest, JoinIsTheInverseOfSplit) {
  const std::vector<Args> cases = {
      {"/bin/prog", "plain", "--name", "two words"},
      {"", "x", ""},
      {"quote\"inside", "tab\there", R"(ends\)", R"(ends in space\ )", R"(\\"mixed\")"},
      {R"(C:\path with\blank\)", "\"", "\\"},
  };
  for (const Args& args : cases) {
    const std::string line = joinCommandLine(args);
    EXPECT_EQ(splitCommandLine(line), args) << line;
  }
  EXPECT_EQ(joinCommandLine({"a", "b c", ""}), "a \"b c\" \"\"");
  EXPECT_EQ(joinCommandLine({R"(x"y)"}), R"("x\"y")");
}

// The state letter of a process (R, S, T, Z, ...), or 0 when it cannot be read.
char procState(uint32_t pid) {
  const std::string text = testsupport::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

// Starts processes and makes sure each is gone when the test ends, however it ends.
class ProcessTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& p : started_) {
      if (!p->hasEnded()) {
        p->resume();
        p->terminate();
        EXPECT_TRUE(waitUntil([&] { return p->hasEnded(); })) << "pid " << p->pid();
      }
    }
    started_.clear();
  }

  Process& start(const Args& args, int output = -1, const std::string& directory = "") {
    SpawnOptions o;
    o.args = args;
    o.outputHandle = output;
    o.directory = directory;
    return start(o);
  }
  Process& start(const SpawnOptions& o) {
    started_.push_back(std::make_unique<Process>());
    Process& p = *started_.back();
    EXPECT_TRUE(p.spawn(o)) << o.args[0] << ": " << systemErrorText(lastError());
    return p;
  }
  // Spawns and returns the failure text, or "" when the spawn succeeded.
  std::string spawnFailure(const SpawnOptions& o) {
    started_.push_back(std::make_unique<Process>());
    if (started_.back()->spawn(o)) return "";
    const int code = lastError();
    EXPECT_NE(code, 0);
    EXPECT_FALSE(started_.back()->valid());
    return systemErrorText(code);
  }

  // Everything the pipe carries until all writers are gone.
  static std::string readToEnd(OutputPipe& pipe) {
    std::string out;
    PipeRead r = PipeRead::kWouldBlock;
    const bool ended = waitUntil([&] {
      waitPipeReadable(pipe.readHandle(), 50);
      r = pipe.drain(out);
      return r != PipeRead::kWouldBlock;
    });
    EXPECT_TRUE(ended) << "got so far: " << out;
    EXPECT_EQ(r, PipeRead::kEnd);
    return out;
  }

  const testsupport::TempDir temp_;
  const std::string dir_ = temp_.path();
  std::vector<std::unique_ptr<Process>> started_;
};

TEST_F(ProcessTest, ChildRunsInItsDirectoryWithExtraVariableAndOutputReachesThePipe) {
  OutputPipe pipe;
  ASSERT_TRUE(pipe.create());
  SpawnOptions o;
  // A bare name is looked up in PATH; stdin is /dev/null, so read ends at once.
  o.args = {"sh", "-c",
            "pwd; echo \"port=$AM_AGENT_PORT\"; echo to-stderr >&2; read x; echo \"read=$?\"; "
            "exit 7"};
  o.directory = dir_;
  o.outputHandle = pipe.writeHandle();
  o.environment = {{"AM_AGENT_PORT", "5077"}};
  Process& p = start(o);
  pipe.closeWriteEnd();
  const std::string out = readToEnd(pipe);
  EXPECT_EQ(out, fs::canonical(dir_).string() + "\nport=5077\nto-stderr\nread=1\n");
  ASSERT_TRUE(waitUntil([&] { return p.hasEnded(); }));
  const ExitStatus st = p.exitStatus();
  EXPECT_TRUE(st.known);
  EXPECT_FALSE(st.signaled);
  EXPECT_EQ(st.code, 7);
}

TEST_F(ProcessTest, SpawnFailuresReachTheCallerWithTheirText) {
  SpawnOptions o;
  o.args = {dir_ + "/no-such-program"};
  EXPECT_EQ(spawnFailure(o), "No such file or directory");
  o.args = {"am-no-such-program-anywhere"};
  EXPECT_EQ(spawnFailure(o), "No such file or directory");
  o.args = {"/bin/sh", "-c", "exit 0"};
  o.directory = dir_ + "/missing";
  EXPECT_EQ(spawnFailure(o), "No such file or directory");
  testsupport::writeFile(dir_ + "/file", "x");
  o.directory = dir_ + "/file";
  EXPECT_EQ(spawnFailure(o), "Not a directory");
  o.args.clear();
  EXPECT_NE(spawnFailure(o), "");
}

TEST_F(ProcessTest, UnpackedScriptRunsOnlyOnceMadeExecutable) {
  const std::string script = dir_ + "/agent";
  testsupport::writeFile(script, "#!/bin/sh\necho \"started $1\"\n");
  SpawnOptions o;
  o.args = {script, "arg"};
  EXPECT_EQ(spawnFailure(o), "Permission denied");
  ASSERT_TRUE(makeExecutable(script));
  EXPECT_EQ(fs::status(script).permissions(), fs::perms::owner_all | fs::perms::group_read |
                                                  fs::perms::group_exec | fs::perms::others_read |
                                                  fs::perms::others_exec);
  OutputPipe pipe;
  ASSERT_TRUE(pipe.create());
  o.outputHandle = pipe.writeHandle();
  start(o);
  pipe.closeWriteEnd();
  EXPECT_EQ(readToEnd(pipe), "started arg\n");
  EXPECT_FALSE(makeExecutable(dir_ + "/missing"));
}

TEST_F(ProcessTest, EndingsAreReportedAsTheyHappened) {
  Process& killed = start({"/bin/sleep", "60"});
  Process& stopped = start({"/bin/sleep", "60"});
  Process& crashed = start({"/bin/sh", "-c", "kill -9 $$"});
  Process& done = start({"/bin/sh", "-c", "exit 0"});
  EXPECT_FALSE(killed.hasEnded());
  ASSERT_TRUE(killed.terminate());
  ASSERT_TRUE(stopped.requestStop());
  ASSERT_TRUE(waitUntil([&] {
    return killed.hasEnded() && stopped.hasEnded() && crashed.hasEnded() && done.hasEnded();
  }));
  // A forced end reads as exit code 1; endings we did not cause keep their signal.
  EXPECT_TRUE(killed.exitStatus().known);
  EXPECT_FALSE(killed.exitStatus().signaled);
  EXPECT_EQ(killed.exitStatus().code, 1);
  EXPECT_TRUE(stopped.exitStatus().signaled);
  EXPECT_EQ(stopped.exitStatus().code, 15);
  EXPECT_TRUE(crashed.exitStatus().signaled);
  EXPECT_EQ(crashed.exitStatus().code, 9);
  EXPECT_FALSE(done.exitStatus().signaled);
  EXPECT_EQ(done.exitStatus().code, 0);
  // Reaped: no zombie left, and no signal can reach whoever gets the id next.
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(killed.pid())));
  EXPECT_FALSE(killed.terminate());
  EXPECT_TRUE(killed.hasEnded());
}

TEST_F(ProcessTest, SuspendedProcessStaysInMemoryUntilKilled) {
  Process& p = start({"/bin/sleep", "60"});
  ASSERT_TRUE(p.suspend());
  EXPECT_TRUE(waitUntil([&] { return procState(p.pid()) == 'T'; }));
  EXPECT_FALSE(p.hasEnded());
  ASSERT_TRUE(p.resume());
  EXPECT_TRUE(waitUntil([&] { return procState(p.pid()) == 'S'; }));
  ASSERT_TRUE(p.suspend());
  EXPECT_TRUE(waitUntil([&] { return procState(p.pid()) == 'T'; }));
  ASSERT_TRUE(p.terminate());
  EXPECT_TRUE(waitUntil([&] { return p.hasEnded(); }));
  EXPECT_EQ(p.exitStatus().code, 1);
}

TEST_F(ProcessTest, AttachedProcessIsWatchedAndEndedThroughItsHandle) {
  Process& child = start({"/bin/sleep", "60"});
  Process other;
  ASSERT_TRUE(other.attach(child.pid())) << systemErrorText(lastError());
  EXPECT_FALSE(other.isChild());
  EXPECT_EQ(other.pid(), child.pid());
  EXPECT_FALSE(other.hasEnded());
  ASSERT_TRUE(other.suspend());
  EXPECT_TRUE(waitUntil([&] { return procState(child.pid()) == 'T'; }));
  EXPECT_FALSE(other.hasEnded());
  ASSERT_TRUE(other.terminate());
  // Seen as ended while still unreaped by its parent.
  EXPECT_TRUE(waitUntil([&] { return other.hasEnded(); }));
  EXPECT_EQ(other.exitStatus().code, 1);
  EXPECT_TRUE(waitUntil([&] { return child.hasEnded(); }));
  EXPECT_TRUE(child.exitStatus().signaled);
  EXPECT_EQ(child.exitStatus().code, 9);

  Process none;
  EXPECT_FALSE(none.attach(0x7ffffff0u));
  EXPECT_FALSE(none.valid());
}

TEST_F(ProcessTest, ReleasedChildIsReapedOnceItEnds) {
  Process& p = start({"/bin/sleep", "60"});
  const uint32_t pid = p.pid();
  p.release();  // left running, as for an agent that outlives its manager
  EXPECT_FALSE(p.valid());
  Process handle;
  ASSERT_TRUE(handle.attach(pid));
  EXPECT_FALSE(handle.hasEnded());
  ASSERT_TRUE(handle.terminate());
  ASSERT_TRUE(waitUntil([&] { return handle.hasEnded(); }));
  EXPECT_TRUE(waitUntil([&] {
    reapAbandonedChildren();
    return !fs::exists("/proc/" + std::to_string(pid));
  }));
}

TEST_F(ProcessTest, TimesAndMemoryOfARunningChildArePlausible) {
  const uint64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  Process& p = start({"/bin/sleep", "60"});
  ProcessTimes t;
  ASSERT_TRUE(readProcessTimes(p.pid(), t));
  const uint64_t after = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  // Boot time is known to the second only.
  EXPECT_GE(t.startUnixMs + 2000, before);
  EXPECT_LE(t.startUnixMs, after + 2000);
  EXPECT_LT(t.userMs + t.kernelMs, 10000u);
  ProcessMemory m;
  ASSERT_TRUE(waitUntil([&] { return readProcessMemory(p.pid(), m) && m.workingSetKiB > 0; }));
  EXPECT_GE(m.peakWorkingSetKiB, m.workingSetKiB);
  EXPECT_LT(m.workingSetKiB, 1u << 20);

  // This process has run for a while and holds more memory than a sleeping child.
  ProcessTimes self;
  ProcessMemory selfMem;
  ASSERT_TRUE(readProcessTimes(currentProcessId(), self));
  ASSERT_TRUE(readProcessMemory(currentProcessId(), selfMem));
  EXPECT_LE(self.startUnixMs, t.startUnixMs);
  EXPECT_GT(selfMem.workingSetKiB, 0u);

  ASSERT_TRUE(p.terminate());
  ASSERT_TRUE(waitUntil([&] { return p.hasEnded(); }));
  EXPECT_FALSE(readProcessTimes(p.pid(), t));
  EXPECT_FALSE(readProcessMemory(p.pid(), m));
}

// The sample keeps the process's files open: each call must still read the process as it is
// now, name no other process once it has gone, and give its files back with the handle.
TEST_F(ProcessTest, KeptSampleFilesReadTheProcessAnewAndCloseWithIt) {
  const auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
  };
  const auto before = openFiles();
  Process& p = start({"/bin/sh", "-c", "while :; do :; done"});
  ProcessTimes first, now, byId;
  ProcessMemory memory;
  ASSERT_TRUE(p.sample(first, memory));
  ASSERT_TRUE(readProcessTimes(p.pid(), byId));
  EXPECT_EQ(first.startUnixMs, byId.startUnixMs);
  EXPECT_GT(memory.workingSetKiB, 0u);
  // The busy child's processor time grows from one sample to the next.
  ASSERT_TRUE(waitUntil([&] {
    return p.sample(now, memory) && now.userMs + now.kernelMs > first.userMs + first.kernelMs + 50;
  }));
  EXPECT_EQ(now.startUnixMs, first.startUnixMs);

  ASSERT_TRUE(p.terminate());
  ASSERT_TRUE(waitUntil([&] { return p.hasEnded(); }));
  EXPECT_FALSE(p.sample(now, memory));  // reaped: its files tell nothing any more
  p.release();
  EXPECT_EQ(openFiles(), before);
}

TEST_F(ProcessTest, EnumerationFindsAChildAndReadsItsCommandLine) {
  // The shell stops itself, so it stays as started without forking anything.
  const Args args = {"/bin/sh", "-c", "kill -STOP $$; :", "name x", "a\"b", ""};
  Process& p = start(args);
  ASSERT_TRUE(waitUntil([&] { return procState(p.pid()) == 'T'; }));
  std::vector<uint32_t> pids;
  ASSERT_TRUE(enumerateProcesses(pids));
  EXPECT_NE(std::find(pids.begin(), pids.end(), p.pid()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), currentProcessId()), pids.end());
  std::string line;
  ASSERT_TRUE(readProcessCommandLine(p.pid(), line));
  EXPECT_EQ(line, R"(/bin/sh -c "kill -STOP $$; :" "name x" "a\"b" "")");
  EXPECT_EQ(splitCommandLine(line), args);

  ASSERT_TRUE(p.terminate());
  ASSERT_TRUE(waitUntil([&] { return p.hasEnded(); }));
  EXPECT_FALSE(readProcessCommandLine(p.pid(), line));
}

TEST(SystemTimesTest, GrowAndCountProcessors) {
  SystemTimes a, b;
  ASSERT_TRUE(readSystemTimes(a));
  EXPECT_GE(a.processors, 1u);
  EXPECT_GT(a.idleMs + a.busyMs, 0u);
  ASSERT_TRUE(
      waitUntil([&] { return readSystemTimes(b) && b.idleMs + b.busyMs > a.idleMs + a.busyMs; }));
  EXPECT_GE(b.idleMs, a.idleMs);
  EXPECT_GE(b.busyMs, a.busyMs);
}

uint64_t randomKey() {
  std::random_device rd;
  return (uint64_t{rd()} << 32) ^ rd() ^ currentProcessId();
}

TEST_F(ProcessTest, LeaveMarkerExistsExactlyWhileHeld) {
  const uint64_t key = randomKey();
  EXPECT_FALSE(leaveMarkerExists(key));
  auto marker = createLeaveMarker(key);
  ASSERT_NE(marker, nullptr) << systemErrorText(lastError());
  EXPECT_FALSE(leaveMarkerExists(key + 1));
  // Many checks: the holder never accepts, so its queue fills; the answer must stay the same.
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(leaveMarkerExists(key)) << i;
  EXPECT_EQ(createLeaveMarker(key), nullptr);
  EXPECT_EQ(systemErrorText(lastError()), "Address already in use");
  marker.reset();
  EXPECT_FALSE(leaveMarkerExists(key));
  marker = createLeaveMarker(key);
  ASSERT_NE(marker, nullptr);
  marker->close();
  EXPECT_FALSE(leaveMarkerExists(key));
}

TEST_F(ProcessTest, LeaveMarkerHeldByAnotherProcessVanishesWithIt) {
  const uint64_t key = randomKey();
  LeaveMarker marker;
  ASSERT_TRUE(marker.create(key));
  SpawnOptions o;
  o.args = {"/bin/sleep", "60"};
  o.inheritedSockets = {marker.handle()};
  Process& holder = start(o);
  marker.close();
  EXPECT_TRUE(leaveMarkerExists(key));
  ASSERT_TRUE(holder.terminate());
  ASSERT_TRUE(waitUntil([&] { return holder.hasEnded(); }));
  EXPECT_FALSE(leaveMarkerExists(key));
}

}  // namespace
}  // namespace platform
