// The Debian package made from the install rules, unpacked into a temporary root as dpkg would
// install it: the programs run, the man pages read, the unit is the one "am reg" writes, the
// completion loads.
#include <gtest/gtest.h>

#include <string>

#include "child.h"

namespace {

using namespace std::chrono_literals;

TEST(Package, UnpackedItRunsAndCarriesUnitManPagesAndCompletion) {
  testsupport::TempDir dir;
  const testsupport::RunResult made = testsupport::run(
      {"/usr/bin/cpack", "--config", AM_BUILD_DIR "/CPackConfig.cmake", "-B", dir.file("out")},
      "", 300s);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string deb = dir.file("out/am_5.2.430_amd64.deb");
  const testsupport::RunResult fields = testsupport::run({"/usr/bin/dpkg-deb", "-f", deb}, "");
  ASSERT_EQ(fields.exitCode, 0) << fields.output;
  EXPECT_NE(fields.output.find("Package: am"), std::string::npos) << fields.output;
  EXPECT_NE(fields.output.find("Depends: libc6"), std::string::npos) << fields.output;

  const std::string root = dir.file("root");
  ASSERT_EQ(testsupport::run({"/usr/bin/dpkg", "-x", deb, root}, "").exitCode, 0);
  const testsupport::RunResult am = testsupport::run({root + "/opt/am/am", "-v"}, "");
  EXPECT_EQ(am.exitCode, 0) << am.output;
  EXPECT_NE(am.output.find("5.2.430"), std::string::npos) << am.output;
  const testsupport::RunResult amctl = testsupport::run({root + "/usr/bin/amctl", "--version"}, "");
  EXPECT_EQ(amctl.exitCode, 0);
  EXPECT_EQ(amctl.output, "amctl 5.2.430\n");

  for (const char* page : {"am", "amctl"}) {
    const testsupport::RunResult man = testsupport::run(
        {"/usr/bin/man", "-P", "cat", "-l", root + "/usr/share/man/man1/" + page + ".1.gz"}, "");
    EXPECT_EQ(man.exitCode, 0) << man.output;
    EXPECT_NE(man.output.find("NAME"), std::string::npos) << man.output;
  }
  EXPECT_NE(testsupport::run({"/usr/bin/man", "-P", "cat", "-l",
                              root + "/usr/share/man/man1/amctl.1.gz"},
                             "")
                .output.find("settings get"),
            std::string::npos);

  const std::string unit = testsupport::readFile(root + "/lib/systemd/system/dvx_am.service");
  EXPECT_NE(unit.find("ExecStart=/opt/am/am\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos) << unit;

  const testsupport::RunResult completion = testsupport::run(
      {"/bin/bash", "-c",
       "source '" + root +
           "/usr/share/bash-completion/completions/amctl' && complete -p amctl && "
           "COMP_WORDS=(amctl sta) COMP_CWORD=1 _amctl && printf '%s\\n' \"${COMPREPLY[@]}\""},
      "");
  EXPECT_EQ(completion.exitCode, 0) << completion.output;
  EXPECT_NE(completion.output.find("complete -F _amctl amctl"), std::string::npos);
  EXPECT_NE(completion.output.find("status\nstart\n"), std::string::npos) << completion.output;
  EXPECT_NE(completion.output.find("stats"), std::string::npos) << completion.output;
}

}  // namespace
