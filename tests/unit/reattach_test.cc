// Reading an agent's identity from its command line when a new manager looks for the agents a
// previous one left running.
#include "agents/agent_reattach.h"

#include <gtest/gtest.h>

#include "adt/log.h"
#include "log_recorder.h"

namespace agents {
namespace {

TEST(Reattach, CommandLineOfThisInstallationGivesIdNameWorkerAndPipe) {
  const std::string line =
      "/am/run/5.2.7/dorvi --log /am/log/a1/a1.log --am-key 123 --worker-id 2 --agentid a1 "
      "--name \"Main office\" --home.path /am --am-pipe vantor/am/123/agents/a1";
  FoundAgent found;
  ASSERT_TRUE(parseAgentCommandLine(line, 123, found));
  EXPECT_EQ(found.id, "a1");
  EXPECT_EQ(found.name, "Main office");
  EXPECT_EQ(found.workerId, 2u);
  EXPECT_EQ(found.pipeName, "vantor/am/123/agents/a1");
  // Another installation's key, a key that only starts the same, or none at all.
  EXPECT_FALSE(parseAgentCommandLine(line, 12, found));
  EXPECT_FALSE(parseAgentCommandLine("/x/dorvi --am-key 1234 --agentid a1", 123, found));
  EXPECT_FALSE(parseAgentCommandLine("/x/dorvi --agentid a1", 123, found));
  // An option name inside another argument is not the option.
  EXPECT_FALSE(parseAgentCommandLine("/x/dorvi --name x--am-key 123", 123, found));
}

TEST(Reattach, UnclosedQuoteIsLoggedAndGivesNothing) {
  testsupport::LogRecorder log;
  const std::string line = "/x/dorvi --am-key 1 --agentid a1 --name \"Main office";
  EXPECT_EQ(optionValue(line, "--name"), "");
  EXPECT_TRUE(log.contains("missing quote for --name in " + line, adt::LOG_WARN));
  EXPECT_EQ(optionValue(line, "--agentid"), "a1");
}

TEST(Reattach, TheProgramMustBeTheOneTheCommandLineNames) {
  EXPECT_TRUE(sameProgram("/am/run/5.2.7/dorvi", "/am/run/5.2.7/dorvi"));
  EXPECT_TRUE(sameProgram("demo-agent", "/usr/local/bin/demo-agent"));
  // A shell or any other program whose arguments merely mention the agent.
  EXPECT_FALSE(sameProgram("/bin/sh", "/usr/bin/dash"));
  EXPECT_FALSE(sameProgram("/am/run/5.2.7/dorvi", "/usr/bin/python3.11"));
  EXPECT_FALSE(sameProgram("", "/usr/bin/dash"));
}

}  // namespace
}  // namespace agents
