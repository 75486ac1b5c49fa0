#include "config/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "adt/exception.h"
#include "child.h"
#include "platform/error.h"
#include "platform/file.h"

namespace config {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed afterwards.
class SettingsFile : public ::testing::Test {
 protected:
  std::string write(const std::string& bytes) {
    const std::string path = dir_.file("am.ini");
    testsupport::writeFile(path, bytes);
    return path;
  }

  const testsupport::TempDir dir_;
};

Settings parsed(std::string_view text) {
  Settings s;
  s.parse(text);
  return s;
}

void expectDefaults(const Settings& s) {
  EXPECT_EQ(s.common.clientPort, 5001);
  EXPECT_EQ(s.common.agentPort, 5002);
  EXPECT_EQ(s.common.httpPort, 0);
  EXPECT_EQ(s.common.warnMemoryPercent, 75);
  EXPECT_EQ(s.common.warnGcPercent, 50);
  EXPECT_EQ(s.common.longOperationTimeoutMs, 2400000);
  EXPECT_EQ(s.common.clientPorts, (PortRange{-1, -1}));
  EXPECT_FALSE(s.common.verbose);
  EXPECT_TRUE(s.common.masks.empty());
  EXPECT_TRUE(s.agents.empty());
  EXPECT_TRUE(s.users.empty());
}

TEST_F(SettingsFile, MissingOrEmptyFileGivesDefaults) {
  Settings missing;
  missing.load(dir_.file("absent.ini"));
  expectDefaults(missing);

  Settings empty;
  empty.load(write(""));
  expectDefaults(empty);

  Settings onlyComments;
  onlyComments.load(write("# nothing here\r\n\r\n   \r\n"));
  expectDefaults(onlyComments);
}

TEST_F(SettingsFile, UnreadableFileThrowsTheSystemText) {
  const std::string path = dir_.file("am.ini");
  fs::create_directory(path);
  ASSERT_EQ(platform::openFile(path, platform::kAccessRead, platform::kOpenExisting),
            platform::kNoFile);
  const std::string expected = platform::systemErrorText(platform::lastError());
  Settings s;
  try {
    s.load(path);
    FAIL() << "a directory must not load as settings";
  } catch (const adt::IOException& e) {
    EXPECT_EQ(e.text(), expected);
  }
}

TEST_F(SettingsFile, ReadsWindows1251) {
  Settings s;
  s.load(
      write("[common]\r\nwelcome=\xCF\xF0\xE8\xE2\xE5\xF2 \xB9"
            "1\r\n"
            "[agent]\r\nname=\xC0\xE3\xE5\xED\xF2\r\ndescription=a\x98z\r\n"));
  EXPECT_EQ(s.common.welcome, "Привет №1");
  ASSERT_EQ(s.agents.size(), 1u);
  EXPECT_EQ(s.agents[0].name, "Агент");
  EXPECT_EQ(s.agents[0].description, "a\u0098z");
}

TEST(SettingsReader, SectionsAndKeysIgnoreCaseValueWordsDoNot) {
  const Settings s = parsed(
      "[COMMON]\nCLIENT_PORT=6001\n"
      "[Agent]\nName=A\nHTTP_Port=8080\n"
      "[ user ]\nNAME=alice\npermissions=RW\n"
      "[user]\nname=bob\npermissions=rw\n"
      "[user]\nname=carol\nrole=admin\nrole=Admin\n"
      "[user]\nname=dave\nrole=admin\npermissions=ro\n");
  EXPECT_EQ(s.common.clientPort, 6001);
  ASSERT_EQ(s.agents.size(), 1u);
  EXPECT_EQ(s.agents[0].name, "A");
  EXPECT_EQ(s.agents[0].httpPort, 8080);
  ASSERT_EQ(s.users.size(), 4u);
  EXPECT_EQ(s.users[0].name, "alice");
  EXPECT_EQ(s.users[0].permission, 0);  // "RW" is not "rw"
  EXPECT_EQ(s.users[1].permission, 1);
  EXPECT_EQ(s.users[2].permission, 1);  // "Admin" left the earlier "admin" in force
  EXPECT_EQ(s.users[3].permission, 0);
}

TEST(SettingsReader, CommentsLineEndsAndBlanks) {
  const Settings s = parsed(
      "# leading comment\r\n"
      "[common]   # after the header\r"
      "mail.password=se#cret\n"
      "   mail.login =  mailer   \r\n\r\n\n"
      "welcome=a=b\n"
      "mail.server\t=ignored\n"
      "\tfqdn=ignored\n"
      "verbose\n"
      "trace=#\n"
      "id=x\t\n");
  EXPECT_EQ(s.common.mailPassword, "se");
  EXPECT_EQ(s.common.mailLogin, "mailer");
  EXPECT_EQ(s.common.welcome, "a=b");  // the first "=" splits
  EXPECT_EQ(s.common.mailServer, "");  // a tab is not a blank: the key keeps it
  EXPECT_EQ(s.common.fqdn, "");        // likewise "\tfqdn"
  EXPECT_TRUE(s.common.verbose);       // a key without "=" is present with an empty value
  EXPECT_TRUE(s.common.trace);
  EXPECT_EQ(s.common.id, "x\t");  // only spaces are trimmed
}

// The reader keeps 5119 characters of a line.
constexpr size_t kLineLimit = 5119;

TEST(SettingsReader, LineLimitCountsCharactersAndContinuesTheRest) {
  const std::string key = "description=";
  const std::string fits = key + std::string(kLineLimit - key.size(), 'd');
  Settings exact = parsed("[agent]\n" + fits + "\nname=N\n");
  ASSERT_EQ(exact.agents.size(), 1u);
  EXPECT_EQ(exact.agents[0].description.size(), kLineLimit - key.size());
  EXPECT_EQ(exact.agents[0].name, "N");

  // The characters beyond the limit are read as the next line.
  Settings longer = parsed("[agent]\n" + fits + "name=Split\n");
  EXPECT_EQ(longer.agents[0].description, fits.substr(key.size()));
  EXPECT_EQ(longer.agents[0].name, "Split");

  // Two-byte characters count once each, and a sequence is never cut.
  std::string cyrillic;
  for (size_t i = key.size(); i < kLineLimit; ++i) cyrillic += "Ж";
  Settings wide = parsed("[agent]\n" + key + cyrillic + "name=W\n");
  EXPECT_EQ(wide.agents[0].description, cyrillic);
  EXPECT_EQ(wide.agents[0].name, "W");

  // A comment does not count toward the limit and is never continued.
  Settings comment = parsed("[agent]\ndescription=abc#" + std::string(6000, 'x') + "name=X\n");
  EXPECT_EQ(comment.agents[0].description, "abc");
  EXPECT_EQ(comment.agents[0].name, "");
}

TEST(SettingsReader, MalformedHeaderEndsTheParse) {
  const Settings s = parsed("[agent]\nname=A\n[agent\nname=B\n[agent]\nname=C\n");
  ASSERT_EQ(s.agents.size(), 1u);
  EXPECT_EQ(s.agents[0].name, "A");

  const Settings bare = parsed("[common]\nclient_port=7000\n[\n[common]\nclient_port=7001\n");
  EXPECT_EQ(bare.common.clientPort, 7000);

  const Settings trailing = parsed("[agent] whatever\nname=A\n[]\nname=ignored\n");
  ASSERT_EQ(trailing.agents.size(), 1u);
  EXPECT_EQ(trailing.agents[0].name, "A");
}

TEST(SettingsReader, KeysOutsideKnownSectionsAreIgnored) {
  const Settings s = parsed(
      "client_port=7000\n"
      "[sheduling]\nclient_port=7001\nname=x\n"
      "[other]\nclient_port=7002\n"
      "[common]\nunknown=1\nagent_port=7003\n");
  EXPECT_EQ(s.common.clientPort, 5001);
  EXPECT_EQ(s.common.agentPort, 7003);
  EXPECT_TRUE(s.agents.empty());
}

TEST(SettingsCommon, ValuesAndTheirCorrections) {
  const Settings s = parsed(
      "[common]\n"
      "verbose=0\n"
      "long_operation_timeout=5\n"
      "client_port=abc\n"
      "agent_port=0\n"
      "http_port=70000\n"
      "admin.mail=a@x\nadmin.mail=b@x\n"
      "admin.xmpp=c@x\n"
      "warn.memory.percent=  80%\n"
      "warn.gc.percent=-5\n"
      "client_ports=6000:6100\n"
      "__leave_hanged_agents\n"
      "id=srv\nfqdn=h.example\n"
      "mail.server=smtp\nxmpp.server=xmpp\n");
  EXPECT_TRUE(s.common.verbose);
  EXPECT_FALSE(s.common.trace);
  EXPECT_EQ(s.common.longOperationTimeoutMs, 300000);
  EXPECT_EQ(s.common.clientPort, 5001);
  EXPECT_EQ(s.common.agentPort, 5002);
  EXPECT_EQ(s.common.httpPort, 70000 & 0xFFFF);
  EXPECT_EQ(s.common.adminMail, (std::vector<adt::String>{"a@x", "b@x"}));
  EXPECT_EQ(s.common.adminXmpp, (std::vector<adt::String>{"c@x"}));
  EXPECT_EQ(s.common.warnMemoryPercent, 80);
  EXPECT_EQ(s.common.warnGcPercent, -5);
  EXPECT_EQ(s.common.clientPorts, (PortRange{6000, 6100}));
  EXPECT_TRUE(s.common.leaveHangedAgents);
  EXPECT_EQ(s.common.id, "srv");
  EXPECT_EQ(s.common.fqdn, "h.example");
  EXPECT_EQ(s.common.mailServer, "smtp");
  EXPECT_EQ(s.common.xmppServer, "xmpp");

  EXPECT_EQ(parsed("[common]\nhttp_port=abc\n").common.httpPort, 0);
  EXPECT_EQ(parsed("[common]\nclient_port=65536\n").common.clientPort, 5001);  // low bits 0
}

TEST(SettingsCommon, EmptyTextResetsTheStartUpFields) {
  Settings s =
      parsed("[common]\nclient_port=7000\nhttp_port=80\nip_mask=10.*.*.*\nverbose\nid=x\n");
  s.parse("");
  EXPECT_EQ(s.common.clientPort, 5001);
  EXPECT_EQ(s.common.httpPort, 0);
  EXPECT_TRUE(s.common.masks.empty());
  EXPECT_FALSE(s.common.verbose);
  EXPECT_EQ(s.common.id, "");
}

TEST(SettingsAgent, ValuesAndTheirCorrections) {
  const Settings s = parsed(
      "[agent]\n"
      "worker_processes=0\n"
      "heavy_processes=-3\n"
      "heavy_extra_mem=-1\n"
      "run_at_least_once=yes\n"
      "client_port=6001\nhttps_port=8443\n"
      "application=app1\napplication=app2, app3\n"
      "ver=5.1-5.2\n"
      "client_ports=7000-7010\n"
      "server_name=srv1, srv2\n"
      "sched=8h-18h\nsched=no unit\nsched=20h-21h\n"
      "restart_time=1:00\nrestart_time=3:00;15:30\n"
      "[agent]\n"
      "heavy_processes=2\nworker_processes=3\nrun_at_least_once=1\n"
      "name=Second\nid=7\ncmd=c\ndir=d\nicon=i\nargs=a\nredirect=r\n");
  ASSERT_EQ(s.agents.size(), 2u);
  const AgentConf& a = s.agents[0];
  EXPECT_EQ(a.workerProcesses, 1);
  EXPECT_EQ(a.heavyProcesses, 0);
  EXPECT_EQ(a.heavyExtraMem, 0);
  EXPECT_EQ(a.totalProcesses, 1);
  // The largest count with heavy ones besides: the sum stops at the largest count.
  const Settings huge =
      parsed("[agent]\nworker_processes=99999999999\nheavy_processes=2147483647\n");
  EXPECT_EQ(huge.agents[0].totalProcesses, 2147483647);
  EXPECT_FALSE(a.runAtLeastOnce);
  EXPECT_EQ(a.clientPort, 6001);
  EXPECT_EQ(a.httpsPort, 8443);
  EXPECT_EQ(a.httpPort, 0);
  EXPECT_EQ(a.application, (std::vector<adt::String>{"app1", "app2, app3"}));
  EXPECT_EQ(a.verMin, adt::makeVersion(5, 1, 0));
  EXPECT_EQ(a.verMax, adt::makeVersion(5, 2, 65535));
  EXPECT_EQ(a.clientPorts, (PortRange{7000, 7010}));
  EXPECT_EQ(a.serverName.names, (std::vector<adt::String>{"srv1", "srv2"}));
  EXPECT_FALSE(a.serverName.any);
  ASSERT_EQ(a.sched.size(), 2u);
  EXPECT_EQ(a.sched[1].text, "20h-21h");
  EXPECT_EQ(a.restartTime.times(), (std::vector<int64_t>{10800000, 55800000}));

  const AgentConf& b = s.agents[1];
  EXPECT_EQ(b.totalProcesses, 5);  // recomputed after each of the two keys
  EXPECT_TRUE(b.runAtLeastOnce);
  EXPECT_EQ(b.name, "Second");
  EXPECT_EQ(b.id, "7");
  EXPECT_EQ(b.cmd + b.dir + b.icon + b.args + b.redirect, "cdiar");
}

TEST(SettingsValues, PortRanges) {
  EXPECT_EQ(parsePortRange("6000:6100"), (PortRange{6000, 6100}));
  EXPECT_EQ(parsePortRange("6000-6100"), (PortRange{6000, 6100}));
  EXPECT_EQ(parsePortRange(" from 6000 to 6100 and 7000"), (PortRange{6000, 6100}));
  EXPECT_EQ(parsePortRange("6000"), (PortRange{6000, -1}));
  EXPECT_EQ(parsePortRange("-5"), (PortRange{5, -1}));  // "-" is skipped, not a sign
  EXPECT_EQ(parsePortRange("none"), (PortRange{-1, -1}));
}

TEST(SettingsValues, VersionBounds) {
  struct Case {
    const char* value;
    uint32_t lower, upper;
  } cases[] = {
      {"5.2", adt::makeVersion(5, 2, 0), adt::makeVersion(5, 2, 65535)},
      {"5.1.532", adt::makeVersion(5, 1, 532), adt::makeVersion(5, 1, 532)},
      {"5.1-5.2", adt::makeVersion(5, 1, 0), adt::makeVersion(5, 2, 65535)},
      {"5", adt::makeVersion(5, 0, 0), adt::makeVersion(5, 255, 65535)},
      {"-5.3", 0, adt::makeVersion(5, 3, 65535)},
      {"5.1-", adt::makeVersion(5, 1, 0), 0xFFFFFFFF},
      {"", 0, 0xFFFFFFFF},
      {"v5 r2 b7 x9", adt::makeVersion(5, 2, 7), adt::makeVersion(5, 2, 7)},
  };
  for (const Case& c : cases) {
    uint32_t lower = 1, upper = 1;
    parseVersionBounds(c.value, lower, upper);
    EXPECT_EQ(lower, c.lower) << c.value;
    EXPECT_EQ(upper, c.upper) << c.value;
  }
}

TEST(SettingsValues, ServerNames) {
  ServerNameFilter two;
  parseServerNames("srv1, srv2", two);
  EXPECT_EQ(two.names, (std::vector<adt::String>{"srv1", "srv2"}));
  EXPECT_FALSE(two.any);

  ServerNameFilter dotted;
  parseServerNames("host.example", dotted);
  EXPECT_EQ(dotted.names, (std::vector<adt::String>{"host", "example"}));

  ServerNameFilter star, empty, both;
  parseServerNames("*", star);
  parseServerNames("", empty);
  parseServerNames("srv1 *", both);
  EXPECT_TRUE(star.any && star.names.empty());
  EXPECT_TRUE(empty.any && empty.names.empty());
  EXPECT_TRUE(both.any);
  EXPECT_EQ(both.names, (std::vector<adt::String>{"srv1"}));
}

TEST(SettingsValues, LenientNumbers) {
  EXPECT_EQ(readInt("  42abc"), 42);
  EXPECT_EQ(readInt("-17"), -17);
  EXPECT_EQ(readInt("+8"), 8);
  EXPECT_EQ(readInt("abc"), 0);
  EXPECT_EQ(readInt("- 5"), 0);
  EXPECT_EQ(readInt("99999999999"), INT32_MAX);
  EXPECT_EQ(readInt("-99999999999"), INT32_MIN);
}

TEST(SettingsCatalogue, CommonThenAgentThenUser) {
  const auto& keys = knownKeys();
  ASSERT_EQ(keys.size(), 47u);
  EXPECT_EQ(keys.front(), "common.ip_mask");
  EXPECT_EQ(keys[22], "common.__leave_hanged_agents");
  EXPECT_EQ(keys[23], "agent.id");
  EXPECT_EQ(keys[44], "agent.ver");
  EXPECT_EQ(keys.back(), "user.permissions");
  for (const auto& key : keys) {
    EXPECT_EQ(std::count(keys.begin(), keys.end(), key), 1) << key;
  }
}

TEST(SettingsWriter, AgentSectionReadsBack) {
  const Settings s = parsed(
      "[agent]\nid=7\nname=Agent1\ncmd=run.exe\ndescription=Описание\n"
      "application=app1\napplication=app2\n"
      "ip_mask=10.0.0.1-9;192.168.*.*\nban_mask=10.0.0.5\n"
      "run_at_least_once=1\nserver_name=srv1,srv2\n"
      "http_port=8080\nclient_port=6001\n"
      "sched=8h-18h30m\nsched=*/30m-*/5m\nrestart_time=3:00;15:30\n");
  adt::String text;
  writeAgentSection(s.agents[0], text);
  EXPECT_EQ(text,
            "[agent]\r\nid=7\r\nname=Agent1\r\ncmd=run.exe\r\ndescription=Описание\r\n"
            "application=app1, app2\r\n"
            "ip_mask=10.0.0.1-9;192.168.*.*\r\nban_mask=10.0.0.5\r\n"
            "run_at_least_once=1\r\nserver_name=srv1 srv2 \r\n"
            "http_port=8080\r\nclient_port=6001\r\n"
            "sched=8h-18h30m\r\nsched=*/30m-*/5m\r\nrestart_time=03:00;15:30\r\n");

  const AgentConf back = parsed(text).agents.at(0);
  const AgentConf& a = s.agents[0];
  // The names are shown on one line; the reader takes a line as one name.
  EXPECT_EQ(back.application, std::vector<adt::String>{"app1, app2"});
  EXPECT_EQ(back.masks, a.masks);
  EXPECT_EQ(back.serverName, a.serverName);
  EXPECT_EQ(back.sched, a.sched);
  EXPECT_EQ(back.restartTime.times(), a.restartTime.times());

  adt::String bare;
  writeAgentSection(AgentConf{}, bare);
  EXPECT_EQ(bare, "[agent]\r\nrestart_time=\r\n");
}

}  // namespace
}  // namespace config
