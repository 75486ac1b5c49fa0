// Supervision across runs and while a process runs: hang marks do not outlive their process,
// output is read on every pass into the agent's output log (bounded per pass, in memory and on
// disk), interval schedules of a fresh record count from its creation, and an end by a signal
// says which signal.
#include <gtest/gtest.h>

#include <string>

#include "agent_test_fakes.h"
#include "agents/agent_output.h"
#include "am_home.h"
#include "child.h"
#include "platform/process.h"

namespace agents {
namespace {

using testing::FakeHost;
using testing::FakeProcessState;

class Supervision : public testing::AgentTest {
 protected:
  static amp::Task stuckTask() {
    amp::Task t;
    t.id = 2;
    t.op = 5000;
    t.pulse = 7;
    return t;
  }
  // Telemetries reporting the same stuck task: the second marks it, the third `apart` ms later
  // finds it hung.
  void reportStuck(Agent& agent, uint64_t apart) {
    agent.tasks.update({stuckTask()}, now(), 0, host.longOperationMs);
    agent.tasks.update({stuckTask()}, now(), 0, host.longOperationMs);
    advance(apart);
    agent.tasks.update({stuckTask()}, now(), 0, host.longOperationMs);
    agent.load.lastTelemetryTick = now();
  }
  std::string outputFile(const std::string& id) const {
    return dir.path() + "/log/" + id + "/" + id + ".out";
  }
};

TEST_F(Supervision, HangMarksDoNotOutliveTheirProcess) {
  host.longOperationMs = 5000;
  Agent agent(host, section());
  launch(agent);
  link(agent);
  reportStuck(agent, 6000);
  ASSERT_NE(agent.tasks.hungTask(), nullptr);
  agent.runOnce();  // no clients: stopped for the hang
  ASSERT_TRUE(agent.process()->stopRequest);
  EXPECT_EQ(agent.stopReason.rfind("зависание задачи:\nid:2,", 0), 0u) << agent.stopReason;
  host.backend.last().exit(0);
  agent.runOnce();  // the end is seen
  agent.runOnce();  // cleaned up
  ASSERT_FALSE(agent.run);

  // The next process reports the same task with the same pulse right after its start.
  launch(agent, "again");
  EXPECT_TRUE(agent.tasks.tasks().empty());
  EXPECT_EQ(agent.tasks.history().size(), 1u);  // the old task is kept as finished
  link(agent);
  advance(100);
  agent.tasks.update({stuckTask()}, now(), 0, host.longOperationMs);
  agent.load.lastTelemetryTick = now();
  advance(100);
  agent.tasks.update({stuckTask()}, now(), 0, host.longOperationMs);
  agent.runOnce();
  EXPECT_EQ(agent.tasks.hungTask(), nullptr);
  EXPECT_FALSE(agent.process()->stopRequest) << agent.stopReason;
  // Its own standstill still counts: hung once the timeout passes again.
  advance(5001);
  agent.tasks.update({stuckTask()}, now(), 0, host.longOperationMs);
  agent.load.lastTelemetryTick = now();
  agent.runOnce();
  EXPECT_TRUE(agent.process()->stopRequest);
}

TEST_F(Supervision, OutputIsReadEveryPassIntoTheOutputLogWithBoundedMemory) {
  Agent agent(host, section());
  AgentProcess& p = launch(agent);
  const OutputLimits& limits = p.output.limits();
  // More than one pass can take.
  std::string written;
  for (int i = 0; written.size() < 3 * limits.perPass + 1000; ++i) {
    written += "line " + std::to_string(i) + " \xcf\xf0\xe8\xe2\xe5\xf2\n";  // "Привет" in cp1251
  }
  host.backend.last().output = written;
  const int readsBefore = host.backend.last().reads;
  agent.runOnce();
  EXPECT_EQ(host.backend.last().output.size(), written.size() - limits.perPass);
  EXPECT_LE(p.output.tail().size(), limits.tail);
  for (int i = 0; i < 5; ++i) agent.runOnce();
  EXPECT_TRUE(host.backend.last().output.empty());
  EXPECT_GE(host.backend.last().reads - readsBefore, 4);
  EXPECT_EQ(testsupport::readFile(outputFile("a1")), written);  // as written (Windows-1251)
  EXPECT_EQ(p.output.tail(), written.substr(written.size() - limits.tail));

  // The end reports the last part only, in UTF-8.
  host.backend.last().output = "last words\n";
  host.backend.last().exit(1);
  agent.runOnce();
  const std::string reason = agent.stopReason;
  EXPECT_NE(reason.find("Привет\nlast words\n"), std::string::npos);
  EXPECT_LE(reason.size(), 2 * limits.tail + 200);
  EXPECT_EQ(testsupport::readFile(outputFile("a1")), written + "last words\n");
}

TEST_F(Supervision, OutputLogIsCutAtItsCapKeepingTheEnd) {
  const std::string path = dir.path() + "/cut.out";
  OutputLimits small;
  small.tail = 10;
  small.fileCap = 1000;
  small.fileKept = 100;
  {
    AgentOutput out(path, small);
    for (int i = 0; i < 300; ++i) out.append(std::to_string(1000 + i) + "\n");  // 1500 bytes
    EXPECT_EQ(out.tail(), "1298\n1299\n");
  }
  const std::string file = testsupport::readFile(path);
  EXPECT_EQ(file.rfind("Log above is cutted\n", 0), 0u) << file;
  EXPECT_LT(file.size(), 1000u + 100u);
  EXPECT_EQ(file.substr(file.size() - 10), "1298\n1299\n");
  // A later process of the agent appends to the same file.
  AgentOutput again(path, small);
  again.append("next run\n");
  EXPECT_EQ(testsupport::readFile(path).substr(file.size()), "next run\n");
}

// A real child that writes more than any pipe holds and only then goes to sleep: it gets there
// only because the supervision passes read its output while it runs.
TEST_F(Supervision, RealProcessWritingMegabytesIsNotBlocked) {
  SystemProcessBackend backend(dir.path() + "/pipes");
  FakeHost real(dir.path(), &backend);
  const std::string script = dir.path() + "/talk.sh";
  testsupport::writeFile(script,
                         "head -c 3000000 /dev/zero | tr '\\0' x\necho; echo all written\n"
                         "exec sleep 60\n");
  config::AgentConf c = section("Talker", "talk");
  c.cmd = "/bin/sh " + script;
  Agent agent(real, c);
  agent.agentStartProcess("test", false);
  agent.runOnce();
  ASSERT_NE(agent.process(), nullptr);
  const uint32_t pid = agent.process()->pid;
  const std::string file = outputFile("talk");
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        agent.runOnce();
        return testsupport::readFile(file).find("all written\n") != std::string::npos;
      },
      std::chrono::seconds(60)));
  EXPECT_EQ(testsupport::readFile(file).size(), 3000000u + 1 + 12);
  EXPECT_TRUE(testsupport::processAlive(static_cast<int>(pid)));
  EXPECT_LE(agent.process()->output.tail().size(), agent.process()->output.limits().tail);
  agent.run->finish("test over");
  EXPECT_TRUE(testsupport::waitUntil([&] { return agent.process()->handle->hasEnded(); },
                                     std::chrono::seconds(30)));
}

TEST_F(Supervision, IntervalScheduleOfAFreshRecordCountsFromItsCreation) {
  config::AgentConf c = section();
  ASSERT_TRUE(config::parseSched("*/3m-*/1m", c.sched));
  Agent agent(host, c);
  agent.runOnce();
  EXPECT_FALSE(agent.run);
  advance(179000);
  agent.runOnce();
  EXPECT_FALSE(agent.run);
  advance(2000);
  agent.runOnce();
  ASSERT_TRUE(agent.run);
  EXPECT_EQ(agent.startReason, "запуск по расписанию \"*/3m-*/1m\"");
}

TEST_F(Supervision, EndBySignalSaysWhichSignal) {
  Agent agent(host, section());
  launch(agent);
  link(agent);
  FakeProcessState& state = host.backend.last();
  state.ended = true;
  state.status = platform::ExitStatus{true, true, 9};
  agent.runOnce();
  EXPECT_EQ(agent.stopReason.rfind("процесс завершён сигналом 9 (SIGKILL)", 0), 0u)
      << agent.stopReason;
  ASSERT_FALSE(host.errors.empty());
  EXPECT_EQ(host.errors.back().details, "Неожиданная остановка агента \"A\" (pid:4000)");

  // An exit code is still an end by itself.
  agent.runOnce();
  launch(agent);
  host.backend.last().exit(3);
  agent.runOnce();
  EXPECT_EQ(agent.stopReason.rfind("процесс самозавершился", 0), 0u) << agent.stopReason;
  EXPECT_EQ(platform::signalName(15), "SIGTERM");
}

}  // namespace
}  // namespace agents
