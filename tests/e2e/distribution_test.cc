// An agent started from a distribution: the archive in updates/agents is unpacked into
// run/<version>, the agent executable inside it starts with the settings path, writes its
// output into its own named pipe, and what it wrote is read after it has been killed.
#include <gtest/gtest.h>

#include "am_home.h"
#include "zip_writer.h"

namespace {

using namespace std::chrono_literals;

TEST(DistributionE2E, AgentStartsFromTheUnpackedDistributionWithItsNamedPipe) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  ASSERT_EQ(testsupport::run({"/bin/mkdir", "-p", home.file("updates/agents")}).exitCode, 0);
  // The demo agent packed under the name the launch expects ("dorvi"), version 5.2.7: named
  // pipe output and --conf.path.
  const std::string agent = testsupport::readFile(AM_BUILD_DIR "/demo-agent");
  ASSERT_FALSE(agent.empty());
  testsupport::writeFile(home.file("updates/agents/dorvi-5.2.7-windows-x86_64.zip"),
                         testsupport::zipArchive({{"dorvi", agent}}));
  testsupport::writeFile(home.file("dor.conf"), "demo settings\n");
  home.writeIni(
      "[agent]\nid=d1\nname=Dist\nrun_at_least_once=1\nver=5.2\n"
      "args=--demo-version 5.2.7 --demo-ignore-stop --demo-telemetry-ms 500\n");

  testsupport::Child& am = home.launchConsole();
  ASSERT_TRUE(am.waitForOutput(") запущен (версия: 5.2.7)", 60s)) << am.output();
  const std::string out = am.output();
  EXPECT_EQ(testsupport::readFile(home.file("run/5.2.7/dorvi")).size(), agent.size());
  // The command line the agent got: its named pipe and the settings path.
  const size_t at = out.find("\"Dist\" (pid:");
  ASSERT_NE(at, std::string::npos);
  const int pid = std::stoi(out.substr(at + 12));
  std::string cmdline = testsupport::readFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (char& c : cmdline) {
    if (c == '\0') c = ' ';
  }
  EXPECT_NE(cmdline.find(home.file("run/5.2.7/dorvi")), std::string::npos) << cmdline;
  EXPECT_NE(cmdline.find("--am-pipe vantor/am/"), std::string::npos) << cmdline;
  EXPECT_NE(cmdline.find("--conf.path " + home.file("dor.conf")), std::string::npos) << cmdline;

  // #sigstop: the agent ignores the stop, is killed after 15 s, and its last words come from
  // the named pipe.
  testsupport::run({home.file("am"), "#sigstop"}, "", 60s);
  ASSERT_TRUE(am.waitExit(90s)) << am.output();
  EXPECT_EQ(am.exitCode(), 0);
  const std::string all = am.output();
  // Killed at the stop's time-out: by the stop sweep or by the agent's own stop request,
  // whichever looks first once the time is up.
  EXPECT_TRUE(all.find("убит, причина: не успел остановиться сам (") != std::string::npos ||
              all.find("убит, причина: процесс агента не реагирует на ARQ_TERMINATE_AGENT (") !=
                  std::string::npos)
      << all;
  EXPECT_NE(all.find(", последки:\n"), std::string::npos) << all;
}

}  // namespace
