// Settings of a running manager: the files a client reads and replaces (stamps, the dor64
// fallback, the example, five backups and a write that fails), and their application to an
// AMServer in this process (agents matched by id or name, workers, users, the running-agent
// rule, nothing changed by a text that fails).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "adt/exception.h"
#include "adt/socket.h"
#include "adt/text.h"
#include "child.h"
#include "fake_clock.h"
#include "config/settings.h"
#include "log_recorder.h"
#include "platform/net.h"
#include "server/am_server.h"
#include "server/settings_files.h"

namespace server {
namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(SettingsFiles, NamesStampsAndTheConfFallback) {
  TempDir dir;
  const std::string ini = dir.file("am.ini");
  EXPECT_EQ(settingsFilePath(ini, settingsFileKind("ini"), false), ini);
  EXPECT_EQ(settingsFilePath(ini, settingsFileKind("db.conf"), true), dir.file("db.conf"));
  for (const char* bad : {"INI", "dor.conf", "../am.sec", "", "conf64"}) {
    try {
      settingsFileKind(bad);
      ADD_FAILURE() << bad;
    } catch (const adt::Exception& e) {
      EXPECT_STREQ(e.what(), "Неподдерживаемый файл настроек");
    }
  }
  // dor64.conf is read while dor.conf is missing; writes always go to dor.conf.
  EXPECT_EQ(settingsFilePath(ini, SettingsFile::kConf, false), dir.file("dor.conf"));
  writeFile(dir.file("dor64.conf"), "x64");
  EXPECT_EQ(settingsFilePath(ini, SettingsFile::kConf, false), dir.file("dor64.conf"));
  EXPECT_EQ(settingsFilePath(ini, SettingsFile::kConf, true), dir.file("dor.conf"));
  writeFile(dir.file("dor.conf"), "x");
  EXPECT_EQ(settingsFilePath(ini, SettingsFile::kConf, false), dir.file("dor.conf"));

  EXPECT_EQ(readSettingsFile(dir.file("missing")).stamp, 0u);
  EXPECT_FALSE(readSettingsFile(dir.file("missing")).exists);
  writeFile(dir.file("empty"), "");
  EXPECT_EQ(readSettingsFile(dir.file("empty")).stamp, 1u);
  EXPECT_EQ(contentStamp("Wikipedia"), 0x11E60398u);  // the published Adler-32 example
  EXPECT_EQ(readSettingsFile(dir.file("dor.conf")).stamp, contentStamp("x"));

  // The example parses as nothing but comments.
  config::Settings example;
  example.parse(exampleSettingsText());
  EXPECT_TRUE(example.agents.empty());
  EXPECT_TRUE(example.common.mailServer.empty());
  EXPECT_TRUE(exampleSettingsText().ends_with("#args=--login ORACLE //host/instance user password\n"));
}

TEST(SettingsFiles, SixSavesKeepFiveBackupsNewestFirstAndEmptyDeletes) {
  TempDir dir;
  const std::string file = dir.file("db.conf");
  for (int i = 0; i <= 6; ++i) storeSettingsFile(file, "v" + std::to_string(i));
  EXPECT_EQ(readFile(file), "v6");
  for (int k = 1; k <= kBackups; ++k) EXPECT_EQ(readFile(backupPath(file, k)), "v" + std::to_string(6 - k));
  EXPECT_FALSE(testsupport::readFile(backupPath(file, 6)).size());
  // Owner-only: these files hold passwords.
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  storeSettingsFile(file, "");
  EXPECT_EQ(::access(file.c_str(), F_OK), -1);
  EXPECT_EQ(readFile(backupPath(file, 1)), "v6");
  storeSettingsFile(file, "");  // nothing to delete, nothing to back up
  EXPECT_EQ(readFile(backupPath(file, 1)), "v6");
}

TEST(SettingsFiles, AFailedWriteLeavesTheFileAndItsBackups) {
  TempDir dir;
  const std::string sub = dir.file("conf");
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
  const std::string file = sub + "/db.conf";
  storeSettingsFile(file, "old");
  storeSettingsFile(file, "current");
  // The directory refuses new files: the new content cannot be staged.
  ASSERT_EQ(::chmod(sub.c_str(), 0500), 0);
  if (::access(sub.c_str(), W_OK) == 0) {
    ::chmod(sub.c_str(), 0700);
    // Root writes anyway; a file where the staged copy goes makes the write fail instead.
    ASSERT_EQ(::mkdir((file + ".~new").c_str(), 0700), 0);
  }
  EXPECT_THROW(storeSettingsFile(file, "new"), adt::IOException);
  ::chmod(sub.c_str(), 0700);
  EXPECT_EQ(readFile(file), "current");
  EXPECT_EQ(readFile(backupPath(file, 1)), "old");
  EXPECT_EQ(readFile(backupPath(file, 2)), "");
}

using FakeClock = testsupport::FixedDayClock;

class Reconfiguration : public ::testing::Test {
 protected:
  std::string common() {
    return "[common]\nclient_port=" + std::to_string(clientPort_) +
           "\nagent_port=" + std::to_string(agentPort_) + "\n";
  }
  void start(const std::string& sections) {
    writeFile(ini_, adt::toCp1251(common() + sections));
    AMServer::Options options;
    options.modulePath = dir_.file("am");
    options.clock = &clock_;
    server_ = std::make_unique<AMServer>(ini_, options);
  }
  uint32_t stamp() {
    uint32_t s = 0;
    server_->getSettings("ini", nullptr, s, nullptr);
    return s;
  }
  // Replaces the settings with [common] plus `sections`; the exception text when refused.
  std::string apply(const std::string& sections) {
    uint32_t s = stamp();
    try {
      server_->serverReconfigure("ini", adt::toCp1251(common() + sections), s);
    } catch (const std::exception& e) {
      return e.what();
    }
    EXPECT_EQ(s, contentStamp(adt::toCp1251(common() + sections)));
    return "";
  }
  bool logged(const std::string& needle) { return log_.contains(needle); }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& a : server_->agentList()) {
      out.push_back((a->removed ? "-" : "") + a->stagedConf.name +
                    (a->workerId ? "#" + std::to_string(a->workerId) : ""));
    }
    return out;
  }

  testsupport::LogRecorder log_;
  TempDir dir_;
  const std::string ini_ = dir_.file("am.ini");
  const int clientPort_ = testsupport::freePort();
  const int agentPort_ = testsupport::freePort();
  FakeClock clock_;
  std::unique_ptr<AMServer> server_;
};

TEST_F(Reconfiguration, AgentsAreMatchedByIdOrNameAndWorkersFollowTheirCounts) {
  start("[agent]\nid=7\nname=A\ncmd=/bin/a\n[agent]\nname=B\ncmd=/bin/b\n");
  agents::Agent* a = server_->findAgent("7", "");
  agents::Agent* b = server_->findAgent("", "B");
  // A renamed keeps its record (matched by id); B renamed is a new agent, B itself removed and,
  // having no run, deleted at once. A gets two workers.
  EXPECT_EQ(apply("[agent]\nid=7\nname=A2\ncmd=/bin/a2\nworker_processes=3\n"
                  "[agent]\nname=B2\ncmd=/bin/b\n"),
            "");
  EXPECT_EQ(server_->findAgent("7", ""), a);
  EXPECT_EQ(a->conf.name, "A2");  // not running: in force at once
  EXPECT_EQ(a->conf.cmd, "/bin/a2");
  EXPECT_EQ(names(), (std::vector<std::string>{"A2", "A2#2", "A2#3", "B2"}));
  EXPECT_NE(server_->findAgent("", "B2"), b);
  EXPECT_TRUE(logged("настройки AM применены"));

  // Fewer workers: the surplus goes; the same text twice with the returned stamp is fine.
  const std::string one = "[agent]\nid=7\nname=A2\ncmd=/bin/a2\nworker_processes=2\n";
  EXPECT_EQ(apply(one), "");
  EXPECT_EQ(apply(one), "");
  EXPECT_EQ(names(), (std::vector<std::string>{"A2", "A2#2"}));
}

TEST_F(Reconfiguration, ARunningAgentKeepsItsSettingsUntilItStopsAndStaysWhenRemoved) {
  start("[agent]\nid=1\nname=A\ncmd=/bin/a\nclient_port=6001\n[agent]\nname=R\ncmd=/bin/r\n");
  agents::Agent* a = server_->findAgent("1", "");
  agents::Agent* r = server_->findAgent("", "R");
  a->agentStartProcess("test", false);  // a current run
  r->agentStartProcess("test", false);
  EXPECT_EQ(apply("[agent]\nid=1\nname=A\ncmd=/bin/new\nclient_port=6001\n"), "");
  EXPECT_EQ(a->conf.cmd, "/bin/a");
  EXPECT_EQ(a->stagedConf.cmd, "/bin/new");
  adt::String pending;
  EXPECT_TRUE(a->pendingChanges(pending));
  EXPECT_EQ(pending, "cmd\n");
  // R is no longer configured but keeps its run.
  EXPECT_EQ(names(), (std::vector<std::string>{"A", "-R"}));
  EXPECT_TRUE(r->removed);

  // Another agent may not take a port the running A holds; --checkconf would not know.
  const std::string taken = "[agent]\nid=1\nname=A\ncmd=/bin/new\nclient_port=6002\n"
                            "[agent]\nname=C\nclient_port=6001\n";
  EXPECT_EQ(apply(taken),
            "в конфигурации найдены ошибки:\nC - порт используется работающим агентом - "
            "client_port = 6001, работающий агент: A(id: 1,client_port: 6001)");
  EXPECT_EQ(a->stagedConf.clientPort, 6001);  // nothing changed
  EXPECT_EQ(names(), (std::vector<std::string>{"A", "-R"}));

  // The runs end: the staged settings come into force and the removed record goes.
  a->run->finish("test");
  r->run->finish("test");
  server_->periodicStep();
  server_->periodicStep();
  EXPECT_EQ(a->conf.cmd, "/bin/new");
  EXPECT_EQ(names(), (std::vector<std::string>{"A"}));
}

TEST_F(Reconfiguration, ARefusedTextChangesNothingOnDiskOrInMemory) {
  start("[agent]\nname=A\ncmd=/bin/a\n[user]\nname=boss\npermissions=rw\n");
  const std::string before = readFile(ini_);
  uint32_t old = stamp();
  // A stale stamp.
  uint32_t stale = old + 1;
  try {
    server_->serverReconfigure("ini", common() + "[agent]\nname=Z\n", stale);
    ADD_FAILURE();
  } catch (const adt::Exception& e) {
    EXPECT_STREQ(e.what(),
                 "Зашита от параллельных изменений: настройки уже были изменены кем-то другим");
  }
  // Errors in the text.
  EXPECT_EQ(apply("[agent]\nname=A\nclient_port=7000\n[agent]\nname=A\nclient_port=7000\n"),
            "в конфигурации найдены ошибки:\nA - нарушение уникальности номера порта - "
            "client_port = 7000\nA - нарушение уникальности имени - name = A");
  // More processes than the descriptors allow (the largest count, plus heavy ones that once
  // overflowed the sum): refused like at start-up, nothing created.
  EXPECT_EQ(apply("[agent]\nname=A\nworker_processes=2147483647\nheavy_processes=1\n")
                .rfind("Недостаточно дескрипторов для 2147483647 процессов агентов", 0),
            0u);
  EXPECT_EQ(names(), (std::vector<std::string>{"A"}));
  // A settings file that cannot be written: the directory holds a directory where the new
  // content is staged.
  ASSERT_EQ(::mkdir((ini_ + ".~new").c_str(), 0700), 0);
  EXPECT_NE(apply("[agent]\nname=Z\n"), "");
  EXPECT_EQ(readFile(ini_), before);
  EXPECT_EQ(stamp(), old);
  EXPECT_EQ(names(), (std::vector<std::string>{"A"}));
  EXPECT_FALSE(server_->defaultAdmin().has_value());  // boss still the administrator
  ::rmdir((ini_ + ".~new").c_str());

  // Users replaced: without a read-write user the default administrator comes back.
  EXPECT_EQ(apply("[agent]\nname=A\n[user]\nname=boss\npermissions=ro\n"), "");
  ASSERT_TRUE(server_->defaultAdmin().has_value());
  EXPECT_EQ(readFile(ini_ + ".~1"), before);
}

TEST_F(Reconfiguration, TheWebListenerMovesWithHttpPortAndTheAgentPortStaysUntilRestart) {
  const int web = testsupport::freePort();
  start("");
  EXPECT_FALSE(server_->httpListenerOpen());
  EXPECT_EQ(apply("[common]\nhttp_port=" + std::to_string(web) + "\n"), "");
  EXPECT_TRUE(server_->httpListenerOpen());
  EXPECT_EQ(server_->common().httpPort, web);
  // A port somebody holds: refused, the old listener stays.
  adt::Socket busy;
  busy.create(adt::Socket::STREAM);
  busy.bind(platform::hostToNet32(0x7F000001), 0);
  busy.listen(4);
  EXPECT_NE(apply("[common]\nhttp_port=" + std::to_string(busy.localPort()) + "\n"), "");
  EXPECT_EQ(server_->common().httpPort, web);
  EXPECT_TRUE(server_->httpListenerOpen());
  // The agent port the agents are told stays the one listened on.
  EXPECT_EQ(apply("[common]\nagent_port=" + std::to_string(testsupport::freePort()) + "\n"), "");
  EXPECT_EQ(server_->agentPort(), agentPort_);
  EXPECT_TRUE(logged("вступят в силу при следующем запуске AM"));
}

}  // namespace
}  // namespace server
