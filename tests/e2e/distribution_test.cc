// An agent started from a distribution: the archive in updates/agents is unpacked into
// run/<version>, the agent executable inside it starts with the settings path, writes its
// output into its own named pipe, and what it wrote is read after it has been killed.
#include <gtest/gtest.h>

#include "child.h"
#include "zip_writer.h"

namespace {

using namespace std::chrono_literals;

TEST(DistributionE2E, AgentStartsFromTheUnpackedDistributionWithItsNamedPipe) {
  testsupport::TempDir dir;
  ASSERT_EQ(testsupport::run({"/bin/cp", AM_BUILD_DIR "/am", dir.file("am")}).exitCode, 0);
  ASSERT_EQ(testsupport::run({"/bin/mkdir", "-p", dir.file("updates/agents")}).exitCode, 0);
  // The demo agent packed under the name the launch expects ("dorvi"), version 5.2.7: named
  // pipe output and --conf.path.
  const std::string agent = testsupport::readFile(AM_BUILD_DIR "/demo-agent");
  ASSERT_FALSE(agent.empty());
  testsupport::writeFile(dir.file("updates/agents/dorvi-5.2.7-windows-x86_64.zip"),
                         testsupport::zipArchive({{"dorvi", agent}}));
  testsupport::writeFile(dir.file("dor.conf"), "demo settings\n");
  testsupport::writeFile(
      dir.file("am.ini"),
      "[common]\nclient_port=" + std::to_string(testsupport::freePort()) +
          "\nagent_port=" + std::to_string(testsupport::freePort()) +
          "\n[agent]\nid=d1\nname=Dist\nrun_at_least_once=1\nver=5.2\n"
          "args=--demo-version 5.2.7 --demo-ignore-stop --demo-telemetry-ms 500\n");

  testsupport::Child am({dir.file("am"), "--console"});
  ASSERT_TRUE(am.waitForOutput(") запущен (версия: 5.2.7)", 60s)) << am.output();
  const std::string out = am.output();
  EXPECT_EQ(testsupport::readFile(dir.file("run/5.2.7/dorvi")).size(), agent.size());
  // The command line the agent got: its named pipe and the settings path.
  const size_t at = out.find("\"Dist\" (pid:");
  ASSERT_NE(at, std::string::npos);
  const int pid = std::stoi(out.substr(at + 12));
  std::string cmdline = testsupport::readFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (char& c : cmdline) {
    if (c == '\0') c = ' ';
  }
  EXPECT_NE(cmdline.find(dir.file("run/5.2.7/dorvi")), std::string::npos) << cmdline;
  EXPECT_NE(cmdline.find("--am-pipe vantor/am/"), std::string::npos) << cmdline;
  EXPECT_NE(cmdline.find("--conf.path " + dir.file("dor.conf")), std::string::npos) << cmdline;

  // #sigstop: the agent ignores the stop, is killed after 15 s, and its last words come from
  // the named pipe.
  testsupport::run({dir.file("am"), "#sigstop"}, "", 60s);
  ASSERT_TRUE(am.waitExit(90s)) << am.output();
  EXPECT_EQ(am.exitCode(), 0);
  const std::string all = am.output();
  EXPECT_NE(all.find("убит, причина: не успел остановиться сам ("), std::string::npos) << all;
  EXPECT_NE(all.find(", последки:\n"), std::string::npos) << all;
}

}  // namespace
