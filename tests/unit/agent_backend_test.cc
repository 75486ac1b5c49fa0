// The real process backend: with the agent's own named pipe, output written into the FIFO is
// read by the manager after the agent has been killed; the pass's one look at all exit handles
// and pipes tells quiet agents from ones with news, and never hides an end or output.
#include "agents/process_backend.h"

#include <gtest/gtest.h>

#include <functional>

#include "child.h"

namespace agents {
namespace {

TEST(SystemProcessBackendTest, NamedPipeOutputIsReadAfterAKill) {
  testsupport::TempDir dir;
  const std::string root = dir.path() + "/pipes";
  SystemProcessBackend backend(root);
  std::unique_ptr<AgentPipe> pipe;
  int error = 0;
  const std::string name = "vantor/am/42/agents/demo";
  ASSERT_EQ(backend.createNamedPipe(name, pipe, error), platform::PipeCreate::kCreated) << error;

  // A second holder of the same name is told it is busy (the launch then appends "_").
  std::unique_ptr<AgentPipe> second;
  EXPECT_EQ(backend.createNamedPipe(name, second, error), platform::PipeCreate::kBusy);

  AgentSpawn spawn;
  spawn.commandLine = "/bin/sh -c \"printf 'last words\\n' > " + root + "/" + name +
                      "; exec sleep 60\"";
  auto process = backend.spawn(spawn, std::move(pipe), error);
  ASSERT_NE(process, nullptr) << error;
  // The agent has written once it is only sleeping.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        const std::string cmdline =
            testsupport::readFile("/proc/" + std::to_string(process->pid()) + "/cmdline");
        return cmdline.rfind("sleep", 0) == 0;
      },
      std::chrono::seconds(30)));

  ASSERT_TRUE(process->terminate(error)) << error;
  ASSERT_TRUE(testsupport::waitUntil([&] { return process->hasEnded(); }, std::chrono::seconds(30)));
  EXPECT_EQ(process->exitStatus().code, 1u);
  std::string output;
  process->readOutput(output, 1u << 20);
  EXPECT_EQ(output, "last words\n");
}

// Waits (bounded) for the pass look to report `what` of `handle`.
bool passSees(SystemProcessBackend& backend, const std::function<bool()>& what) {
  return testsupport::waitUntil([&] {
    backend.beginPass();
    return what();
  });
}

TEST(SystemProcessBackendTest, ThePassLookShowsOutputAndEndsAndGoesStaleOutsideAPass) {
  testsupport::TempDir dir;
  SystemProcessBackend backend(dir.path() + "/pipes");
  int error = 0;
  // Two agents on anonymous pipes: one that writes when told (a file appears), one that stays
  // quiet; both run until told to end.
  const std::string go = dir.path() + "/go", stop = dir.path() + "/stop";
  AgentSpawn talker, quiet;
  talker.commandLine = "/bin/sh -c \"while [ ! -e " + go + " ]; do sleep 0.01; done; echo news; " +
                       "while [ ! -e " + stop + " ]; do sleep 0.01; done; exit 3\"";
  const std::string stopQuiet = dir.path() + "/stop-quiet";
  quiet.commandLine = "/bin/sh -c \"while [ ! -e " + stopQuiet + " ]; do sleep 0.01; done\"";
  auto a = backend.spawn(talker, backend.createAnonymousPipe(error), error);
  auto b = backend.spawn(quiet, backend.createAnonymousPipe(error), error);
  ASSERT_NE(a, nullptr) << error;
  ASSERT_NE(b, nullptr) << error;

  // Nothing written, nothing ended: a fresh look lets the pass skip both.
  backend.beginPass();
  EXPECT_FALSE(a->outputMayBeWaiting());
  EXPECT_FALSE(b->outputMayBeWaiting());
  EXPECT_FALSE(a->mayHaveEnded());

  testsupport::writeFile(go, "");
  ASSERT_TRUE(passSees(backend, [&] { return a->outputMayBeWaiting(); }));
  EXPECT_FALSE(b->outputMayBeWaiting());
  std::string out;
  a->readOutput(out, 1u << 20);
  EXPECT_EQ(out, "news\n");
  backend.beginPass();
  EXPECT_FALSE(a->outputMayBeWaiting()) << "read to the end: nothing left";

  // An end shows in the next look for that child alone (each is watched by its exit handle),
  // and stays shown until it is collected.
  testsupport::writeFile(stop, "");
  ASSERT_TRUE(passSees(backend, [&] { return a->mayHaveEnded(); }));
  EXPECT_FALSE(b->mayHaveEnded());
  backend.beginPass();
  EXPECT_TRUE(a->mayHaveEnded());
  ASSERT_TRUE(a->hasEnded());
  EXPECT_EQ(a->exitStatus().code, 3u);
  testsupport::writeFile(stopQuiet, "");
  ASSERT_TRUE(passSees(backend, [&] { return b->mayHaveEnded(); }));
  ASSERT_TRUE(b->hasEnded());

  // A look older than a pass counts for nothing: asked outside a pass, everything may be news.
  testsupport::TempDir other;
  SystemProcessBackend late(other.path() + "/pipes");
  AgentSpawn sleeper;
  sleeper.commandLine = "/bin/sleep 60";
  auto c = late.spawn(sleeper, late.createAnonymousPipe(error), error);
  ASSERT_NE(c, nullptr) << error;
  late.beginPass();
  EXPECT_FALSE(c->mayHaveEnded());
  ASSERT_TRUE(testsupport::waitUntil([&] { return c->mayHaveEnded() && c->outputMayBeWaiting(); }));
  ASSERT_TRUE(c->terminate(error));
  ASSERT_TRUE(testsupport::waitUntil([&] { return c->hasEnded(); }));
}

}  // namespace
}  // namespace agents
