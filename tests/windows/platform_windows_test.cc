// The Windows backend against the real system (under wine in CI): named and anonymous pipes,
// starting, suspending and ending processes, the poller, digests, paths and the leave marker.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/agent_env.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/negotiate.h"
#include "platform/net.h"
#include "platform/pipe.h"
#include "platform/poller.h"
#include "platform/process.h"
#include "platform/self.h"
#include "platform/socket_owner.h"

namespace {

using namespace std::chrono_literals;

// Polls `done` every 20 ms for up to `limit`.
template <typename F>
bool waitUntil(F done, std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string uniqueName(const char* what) {
  return std::string("vantor/am/test") + std::to_string(platform::currentProcessId()) + "/" + what;
}

std::string hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

// Drains until `want` has arrived or the pipe ends; the last result.
platform::PipeRead drainUntil(int handle, std::string& got, const std::string& want) {
  platform::PipeRead r = platform::PipeRead::kWouldBlock;
  waitUntil([&] {
    r = platform::drainPipe(handle, got);
    return got.find(want) != std::string::npos || r != platform::PipeRead::kWouldBlock;
  });
  return r;
}

TEST(WindowsPipes, NamedPipeIsHeldOnceCarriesItsWritersBytesAndEndsWithIt) {
  const std::string name = uniqueName("agents/w1");
  platform::NamedPipe pipe;
  ASSERT_EQ(pipe.create(platform::defaultPipeRoot(), name), platform::PipeCreate::kCreated)
      << platform::lastError();
  EXPECT_EQ(pipe.path(), "\\\\.\\pipe\\" + name);
  std::string got;
  // No writer yet: nothing to read, and that reads as the end.
  EXPECT_EQ(pipe.drain(got), platform::PipeRead::kEnd);

  platform::NamedPipe second;
  EXPECT_EQ(second.create(platform::defaultPipeRoot(), name), platform::PipeCreate::kBusy);
  EXPECT_EQ(platform::lastError(), 231);

  // The agent's way to the pipe: the root, "/" and the name.
  const int writer = platform::openNamedPipeWriter(platform::defaultPipeRoot() + "/" + name);
  ASSERT_NE(writer, -1) << platform::lastError();
  ASSERT_TRUE(platform::writePipe(writer, "line one\n", 9));
  EXPECT_EQ(drainUntil(pipe.readHandle(), got, "line one\n"), platform::PipeRead::kWouldBlock);
  EXPECT_EQ(got, "line one\n");
  platform::closePipeHandle(writer);
  got.clear();
  EXPECT_EQ(drainUntil(pipe.readHandle(), got, "-"), platform::PipeRead::kEnd);
  EXPECT_EQ(got, "");

  // Closed, the name is free again.
  pipe.close();
  EXPECT_EQ(second.create(platform::defaultPipeRoot(), name), platform::PipeCreate::kCreated);
}

TEST(WindowsPipes, DrainTakesNoMoreThanItsLimitInOneCall) {
  platform::OutputPipe pipe;
  ASSERT_TRUE(pipe.create());
  const std::string data(3000, 'x');
  ASSERT_EQ(platform::writeFile(pipe.writeHandle(), data.data(), data.size()), 3000);
  std::string got;
  EXPECT_EQ(pipe.drain(got, 1000), platform::PipeRead::kWouldBlock);
  EXPECT_EQ(got.size(), 1000u);
  pipe.closeWriteEnd();
  EXPECT_EQ(drainUntil(pipe.readHandle(), got, std::string(3001, 'x')), platform::PipeRead::kEnd);
  EXPECT_EQ(got.size(), 3000u);
}

TEST(WindowsUnavailable, NegotiateAndSocketDiagnosticsFailPlainly) {
  std::unique_ptr<platform::NegotiateContext> context;
  std::string why;
  auto provider = platform::makeNegotiateProvider("am.keytab");
  ASSERT_TRUE(provider);
  EXPECT_NE(provider->open(context, why), platform::kSecOk);
  EXPECT_FALSE(context);
  EXPECT_EQ(why, "not available on Windows: the Negotiate package");
  std::unique_ptr<platform::NegotiateInitiator> initiator;
  why.clear();
  EXPECT_NE(platform::openNegotiateInitiator("host@db1", initiator, why), platform::kSecOk);
  EXPECT_FALSE(initiator);
  EXPECT_EQ(why, "not available on Windows: the Negotiate package");

  // No diagnostics to ask: the callers fall back to the UDP table.
  std::vector<platform::UdpSocketInfo> found;
  EXPECT_FALSE(platform::udpSocketsFromDiagnostics(9, false, found));
  EXPECT_TRUE(found.empty());
}

// The child programs: the system's command interpreter.
std::vector<std::string> shell(const std::string& command) {
  return {"cmd.exe", "/c", command};
}

TEST(WindowsProcesses, ChildGetsDirectoryEnvironmentAndOutputPipeAndReportsItsExitCode) {
  platform::OutputPipe out;
  ASSERT_TRUE(out.create());
  platform::SpawnOptions options;
  options.args = shell("cd & echo port=%AM_AGENT_PORT% & exit 3");
  options.directory = "C:/windows";
  options.outputHandle = out.writeHandle();
  options.environment = {{"AM_AGENT_PORT", "5123"}};
  platform::Process child;
  ASSERT_TRUE(child.spawn(options)) << platform::lastError();
  out.closeWriteEnd();
  EXPECT_TRUE(child.isChild());
  std::string got;
  EXPECT_EQ(drainUntil(out.readHandle(), got, "\x01"), platform::PipeRead::kEnd);
  EXPECT_NE(got.find("port=5123"), std::string::npos) << got;
  EXPECT_NE(got.find("indows"), std::string::npos) << got;  // C:\windows, however cased
  ASSERT_TRUE(waitUntil([&] { return child.hasEnded(); }));
  EXPECT_TRUE(child.exitStatus().known);
  EXPECT_FALSE(child.exitStatus().signaled);
  EXPECT_EQ(child.exitStatus().code, 3);
}

TEST(WindowsProcesses, MissingProgramOrDirectoryFailsWithTheSystemsCode) {
  platform::SpawnOptions options;
  options.args = {"Z:/nonexistent/no-such-program.exe"};
  platform::Process child;
  EXPECT_FALSE(child.spawn(options));
  const int missing = platform::lastError();
  EXPECT_TRUE(missing == 2 || missing == 3) << missing;  // file or path not found
  EXPECT_FALSE(child.valid());

  options.args = shell("exit 0");
  options.directory = "Z:/nonexistent/directory";
  EXPECT_FALSE(child.spawn(options));
  EXPECT_NE(platform::lastError(), 0);
}

TEST(WindowsProcesses, SocketsNamedForTheChildAreNotInheritedButStartIt) {
  // They go over later by their duplication record (see WindowsSockets below).
  platform::SpawnOptions options;
  options.args = shell("exit 0");
  options.inheritedSockets = {1234};
  platform::Process child;
  ASSERT_TRUE(child.spawn(options)) << platform::lastError();
  EXPECT_TRUE(waitUntil([&] { return child.hasEnded(); }));
}

TEST(WindowsProcesses, SuspendedChildLivesOnAndATerminatedOneReadsAsExitCodeOne) {
  platform::SpawnOptions options;
  // Runs for about a minute unless ended.
  options.args = shell("ping -n 60 127.0.0.1 > NUL");
  platform::Process child;
  ASSERT_TRUE(child.spawn(options)) << platform::lastError();
  EXPECT_TRUE(child.suspend());
  EXPECT_FALSE(child.hasEnded());
  EXPECT_TRUE(child.resume());

  platform::Process watcher;
  ASSERT_TRUE(watcher.attach(child.pid())) << platform::lastError();
  EXPECT_FALSE(watcher.isChild());
  platform::ProcessTimes times;
  EXPECT_TRUE(platform::readProcessTimes(child.pid(), times));
  EXPECT_GT(times.startUnixMs, 1600000000000ull);

  // The exit handle is watched beside pipes: quiet while the child runs, ready once it ends.
  platform::OutputPipe quiet;
  ASSERT_TRUE(quiet.create());
  platform::PipeWatch watch;
  ASSERT_NE(child.exitHandle(), -1);
  ASSERT_TRUE(watch.add(child.exitHandle()));
  ASSERT_TRUE(watch.add(quiet.readHandle()));
  ASSERT_TRUE(watch.look());
  EXPECT_FALSE(watch.mayBeReady(child.exitHandle()));
  EXPECT_FALSE(watch.mayBeReady(quiet.readHandle()));

  EXPECT_TRUE(child.terminate());
  EXPECT_TRUE(waitUntil([&] { return watch.look() && watch.mayBeReady(child.exitHandle()); }));
  EXPECT_FALSE(watch.mayBeReady(quiet.readHandle()));
  watch.remove(child.exitHandle());
  ASSERT_TRUE(waitUntil([&] { return child.hasEnded(); }));
  EXPECT_EQ(child.exitStatus().code, 1);
  EXPECT_TRUE(waitUntil([&] { return watcher.hasEnded(); }));
  EXPECT_FALSE(child.terminate());  // already ended
}

TEST(WindowsProcesses, LeaveMarkerExistsExactlyWhileHeld) {
  const uint64_t key = 0x5eed0000ull + platform::currentProcessId();
  EXPECT_FALSE(platform::leaveMarkerExists(key));
  std::unique_ptr<platform::LeaveMarker> marker = platform::createLeaveMarker(key);
  ASSERT_TRUE(marker);
  EXPECT_TRUE(platform::leaveMarkerExists(key));
  EXPECT_FALSE(platform::createLeaveMarker(key));
  marker.reset();
  EXPECT_FALSE(platform::leaveMarkerExists(key));
}

TEST(WindowsPoller, ReportsReadyDatagramSocketsByKeyUntilRemoved) {
  int error = -1;
  std::unique_ptr<platform::Poller> poller = platform::newPoller(&error);
  ASSERT_TRUE(poller) << error;
  const platform::NetResult a = platform::socketCreate(platform::kUdp);
  const platform::NetResult b = platform::socketCreate(platform::kUdp);
  ASSERT_TRUE(a.ok() && b.ok());
  const int ha = static_cast<int>(a.value), hb = static_cast<int>(b.value);
  platform::Endpoint local{platform::hostToNet32(0x7f000001), 0};
  ASSERT_EQ(platform::socketBind(ha, local), 0);
  platform::Endpoint bound;
  ASSERT_EQ(platform::socketLocalName(ha, &bound), 0);
  ASSERT_EQ(poller->add(ha, 42, true, false), 0);
  EXPECT_NE(poller->add(ha, 43, true, false), 0);  // once only

  platform::PollEvent events[4];
  platform::NetResult r = poller->wait(events, 4, 0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value, 0);
  ASSERT_EQ(platform::socketSendTo(hb, "ping", 4, bound).value, 4);
  r = poller->wait(events, 4, 5000);
  ASSERT_TRUE(r.ok()) << r.error;
  ASSERT_EQ(r.value, 1);
  EXPECT_EQ(events[0].key, 42u);
  EXPECT_TRUE(events[0].readable);
  // Level-triggered: still ready until read.
  EXPECT_EQ(poller->wait(events, 4, 0).value, 1);
  char buf[16];
  platform::Endpoint from;
  EXPECT_EQ(platform::socketRecvFrom(ha, buf, sizeof buf, &from).value, 4);
  EXPECT_EQ(poller->wait(events, 4, 0).value, 0);

  ASSERT_EQ(platform::socketSendTo(hb, "ping", 4, bound).value, 4);
  ASSERT_EQ(poller->remove(ha), 0);
  EXPECT_EQ(poller->wait(events, 4, 100).value, 0);
  platform::socketClose(ha);
  platform::socketClose(hb);
}

// A listening TCP socket on a free loopback port; kNoSocket when one cannot be made.
int listeningOnLoopback(platform::Endpoint& bound) {
  const platform::NetResult listener = platform::socketCreate(platform::kTcp);
  if (!listener.ok()) return platform::kNoSocket;
  const int h = static_cast<int>(listener.value);
  if (platform::socketBind(h, {platform::hostToNet32(0x7f000001), 0}) != 0 ||
      platform::socketLocalName(h, &bound) != 0 || platform::socketListen(h, 8) != 0) {
    platform::socketClose(h);
    return platform::kNoSocket;
  }
  return h;
}

TEST(WindowsSockets, AListeningSocketGoesOverByItsDuplicationRecord) {
  platform::Endpoint bound;
  const int h = listeningOnLoopback(bound);
  ASSERT_NE(h, platform::kNoSocket);

  uint8_t record[platform::kSocketRecordSize];
  ASSERT_EQ(platform::socketRecordFor(h, platform::currentProcessId(), -1, record), 0);
  std::string why;
  const int taken = platform::socketFromRecord(record, {}, why);
  ASSERT_NE(taken, platform::kNoSocket) << why;
  EXPECT_NE(taken, h);
  platform::socketClose(h);  // the copy serves alone

  const platform::NetResult c = platform::socketCreate(platform::kTcp);
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(platform::socketConnect(static_cast<int>(c.value), bound), 0);
  const platform::NetResult accepted = platform::socketAccept(taken, nullptr);
  ASSERT_TRUE(accepted.ok()) << accepted.error;
  platform::socketClose(static_cast<int>(accepted.value));
  platform::socketClose(static_cast<int>(c.value));
  platform::socketClose(taken);

  // No socket, no record; a record of nothing, no socket.
  EXPECT_NE(platform::socketRecordFor(platform::kNoSocket, platform::currentProcessId(), -1,
                                      record),
            0);
  const uint8_t nothing[platform::kSocketRecordSize] = {};
  EXPECT_EQ(platform::socketFromRecord(nothing, {}, why), platform::kNoSocket);
  EXPECT_FALSE(why.empty());
}

TEST(WindowsSockets, RefusedConnectionAndListenerShutdownGiveTheWinsockCodes) {
  platform::Endpoint bound;
  const int h = listeningOnLoopback(bound);
  ASSERT_NE(h, platform::kNoSocket);
  EXPECT_EQ(platform::socketShutdown(h, platform::kShutBoth), platform::kNetNotConnected);
  platform::socketClose(h);

  const platform::NetResult c = platform::socketCreate(platform::kTcp);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(platform::socketConnect(static_cast<int>(c.value), bound), 10061);
  platform::socketClose(static_cast<int>(c.value));
}

TEST(WindowsDigests, Md5HmacAndRandomFromTheSystem) {
  uint8_t md5[platform::kMd5Size];
  const platform::DigestPiece pieces[] = {{"a", 1}, {"bc", 2}};
  ASSERT_TRUE(platform::md5(pieces, 2, md5));
  EXPECT_EQ(hex(md5, sizeof md5), "900150983cd24fb0d6963f7d28e17f72");
  ASSERT_TRUE(platform::md5(nullptr, 0, md5));
  EXPECT_EQ(hex(md5, sizeof md5), "d41d8cd98f00b204e9800998ecf8427e");

  uint8_t mac[platform::kSha256Size];
  const std::string data = "what do ya want for nothing?";
  ASSERT_TRUE(platform::hmacSha256("Jefe", 4, data.data(), data.size(), mac));
  EXPECT_EQ(hex(mac, sizeof mac),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

  uint8_t r1[16] = {}, r2[16] = {};
  ASSERT_TRUE(platform::randomBytes(r1, sizeof r1));
  ASSERT_TRUE(platform::randomBytes(r2, sizeof r2));
  EXPECT_NE(hex(r1, 16), hex(r2, 16));
}

TEST(WindowsFiles, PathsUseSlashesAndKeepTheirDrive) {
  EXPECT_EQ(platform::absolutePath("C:\\a\\.\\b\\..\\c"), "C:/a/c");
  EXPECT_EQ(platform::absolutePath("C:/.."), "C:/");
  const std::string here = platform::currentDirectory();
  ASSERT_GE(here.size(), 2u);
  EXPECT_EQ(here[1], ':');
  EXPECT_EQ(platform::absolutePath("x/y"), platform::absolutePath(here + "/x/y"));
  const std::string exe = platform::executablePath();
  EXPECT_EQ(exe.find('\\'), std::string::npos) << exe;
  EXPECT_TRUE(platform::pathExists(exe));
  std::string resolved;
  ASSERT_TRUE(platform::resolvedPath(exe, resolved));
  EXPECT_EQ(resolved.find('\\'), std::string::npos) << resolved;
}

TEST(WindowsFiles, CreateExclusiveRefusesAnExistingFileAndCopyRefusesItself) {
  const std::string dir = platform::absolutePath("am-win-test-" +
                                                 std::to_string(platform::currentProcessId()));
  ASSERT_TRUE(platform::createDirectory(dir));
  const std::string file = dir + "/a.txt";
  const platform::FileHandle h = platform::createFileExclusive(file, 0600);
  ASSERT_NE(h, platform::kNoFile);
  EXPECT_EQ(platform::writeFile(h, "abc", 3), 3);
  platform::closeFile(h);
  EXPECT_EQ(platform::createFileExclusive(file, 0600), platform::kNoFile);
  EXPECT_TRUE(platform::isAlreadyExists(platform::lastError()));
  EXPECT_FALSE(platform::copyFile(file, dir + "/./a.txt", true));
  EXPECT_TRUE(platform::copyFile(file, dir + "/b.txt", false));
  EXPECT_FALSE(platform::copyFile(file, dir + "/b.txt", false));
  EXPECT_FALSE(platform::renameFile(file, dir + "/b.txt", false));
  EXPECT_TRUE(platform::renameFile(file, dir + "/b.txt", true));

  platform::DirectoryReader reader;
  ASSERT_TRUE(reader.open(dir));
  std::string name;
  bool isDir = true;
  ASSERT_TRUE(reader.next(name, isDir));
  EXPECT_EQ(name, "b.txt");
  EXPECT_FALSE(isDir);
  EXPECT_FALSE(reader.next(name, isDir));
  reader.close();
  EXPECT_TRUE(platform::deleteFile(dir + "/b.txt"));
  EXPECT_TRUE(platform::removeDirectory(dir));
}

}  // namespace
