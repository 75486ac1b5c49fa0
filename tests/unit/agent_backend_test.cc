// The real process backend with the agent's own named pipe: output written into the FIFO is
// read by the manager after the agent has been killed.
#include "agents/process_backend.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace agents
