// The am executable as a user meets it: version, help, settings check, console mode, log files
// and exit codes. Each test runs a copy of build/am in its own home directory.
#include <gtest/gtest.h>

#include <regex>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Child;

// A home directory holding a copy of am; the settings file is <home>/am.ini.
class CliHome : public testsupport::AmHome {
 public:
  CliHome() : AmHome(AM_BUILD_DIR "/am") { EXPECT_TRUE(ready()); }
};

TEST(AmCli, VersionLineAndHelp) {
  CliHome home;
  auto v = home.run({"-v"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.output, "Orvo agent manager (learning edition) v5.2.430 \n");

  auto h = home.run({"-h"});
  EXPECT_EQ(h.exitCode, 0);
  EXPECT_EQ(h.output.rfind("Менеджер агентов, версия 5.2.430\n\nЗапуск:\nam [reg|unreg|", 0), 0u)
      << h.output;
  EXPECT_NE(h.output.find("    --checkconf\tпроверка настроек из ini-файла\n"), std::string::npos);

  auto topic = home.run({"-h", "sched"});
  EXPECT_NE(topic.output.find("\tsched=8h-18h30m\n"), std::string::npos) << topic.output;
  auto missing = home.run({"-h", "nosuch"});
  EXPECT_NE(missing.output.find("Раздел справки \"nosuch\" не найден"), std::string::npos);
}

TEST(AmCli, TheHeapDumpOfTheConsoleIsReadAndSplitByTheHeapModes) {
  CliHome home;
  home.writeIni("");
  ASSERT_TRUE(home.startConsole()) << home.console().output();
  home.console().write("hd\n");
  const std::string dump = home.file("log/am.hdmp");
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return testsupport::readFile(dump).find("</malloc>") != std::string::npos; }))
      << home.console().output();

  const auto info = home.run({"--hdinfo", dump});
  EXPECT_EQ(info.exitCode, 0) << info.output;
  EXPECT_NE(info.output.find("арена 0: от системы "), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("всего арен: "), std::string::npos) << info.output;
  const auto split = home.run({"--hdsplit", dump});
  EXPECT_EQ(split.exitCode, 0) << split.output;
  EXPECT_NE(split.output.find("записан " + dump + ".heap0.xml"), std::string::npos);
  // A piece is a report of its own: it reads back with one arena.
  const auto piece = home.run({"--hdinfo", dump + ".heap0.xml"});
  EXPECT_NE(piece.output.find("всего арен: 1,"), std::string::npos) << piece.output;

  testsupport::writeFile(home.file("junk"), "not a dump");
  const auto junk = home.run({"--hdinfo", home.file("junk")});
  EXPECT_EQ(junk.exitCode, 1);
  EXPECT_NE(junk.output.find("неверный формат дампа памяти"), std::string::npos) << junk.output;
  EXPECT_EQ(home.run({"--hdinfo"}).exitCode, 1);
}

TEST(AmCli, NoArgumentsOutsideAServiceManagerFailsAndSaysWhatToDo) {
  CliHome home;
  auto none = testsupport::run({"/usr/bin/env", "-u", "NOTIFY_SOCKET", home.exe()}, home.path());
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.output.find("запущен не менеджером служб"), std::string::npos) << none.output;
  EXPECT_NE(none.output.find("am --daemon"), std::string::npos) << none.output;
}

TEST(AmCli, CheckConfReportsAndAlwaysExitsZero) {
  CliHome home;
  testsupport::writeFile(home.file("am.ini"),
                         "[common]\nclient_port=7001\nagent_port=7002\n[agent]\nname=A\n");
  auto good = home.run({"--checkconf"});
  EXPECT_EQ(good.exitCode, 0);
  EXPECT_NE(good.output.find("Проверка конфигурации..."), std::string::npos) << good.output;
  EXPECT_NE(good.output.find("...ошибок не обнаружено"), std::string::npos) << good.output;

  testsupport::writeFile(
      home.file("am.ini"),
      "[common]\nclient_port=7001\nagent_port=7002\n[agent]\nname=A\nhttp_port=7001\n"
      "[agent]\nname=A\n");
  auto bad = home.run({"--checkconf"});
  EXPECT_EQ(bad.exitCode, 0);
  EXPECT_EQ(bad.output.find("...ошибок не обнаружено"), std::string::npos) << bad.output;
  EXPECT_NE(bad.output.find("7001"), std::string::npos) << bad.output;
}

TEST(AmCli, UnreadableSettingsEndStartUp) {
  CliHome home;
  testsupport::run({"/bin/mkdir", home.file("am.ini")});  // a directory where the file should be
  auto r = home.run({"--console"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
}

TEST(AmCli, ConsoleAnswersCommandsAndStopsOnQ) {
  CliHome home;
  home.writeIni("[agent]\nname=Web\nid=7\ncmd=/bin/true\ndescription=demo\n");
  ASSERT_TRUE(home.startConsole()) << home.console().output();
  Child& am = home.console();
  EXPECT_NE(am.output().find("Команды:\n\tq - выход\n\ta - список агентов\n"), std::string::npos);

  am.write("a\n");
  ASSERT_TRUE(am.waitForOutput("Web\nid = 7\ncmd = /bin/true\ndescription = demo\n", 30s))
      << am.output();
  am.write("s\n");
  ASSERT_TRUE(am.waitForOutput("channel: AgentListener(Open)", 30s)) << am.output();
  EXPECT_NE(am.output().find("channel: ClientListener(" + std::to_string(home.clientPort) + ")"),
            std::string::npos)
      << am.output();
  am.write("x\n");
  ASSERT_TRUE(am.waitForOutput("неизвестная команда \"x\"", 30s)) << am.output();
  am.write("q\n");
  ASSERT_TRUE(am.waitExit(60s)) << am.output();
  EXPECT_EQ(am.exitCode(), 0) << am.output();

  // The main log: start line first, then lines of the fixed format, Windows-1251 on disk.
  const std::string log = testsupport::readFile(home.file("log/am.log"));
  ASSERT_FALSE(log.empty());
  const std::regex start(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3} \[\d+,\d+\] Program start: )" +
                         std::string(".*am logtail: 0\r\n"));
  EXPECT_TRUE(std::regex_search(log.substr(0, log.find('\n') + 1), start)) << log.substr(0, 200);
  const std::regex info(
      R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3} \[\d+,\d+\] INFO  clients\.listen\()" +
      std::to_string(home.clientPort) + R"(\)\[\d+\]\r\n)");
  EXPECT_TRUE(std::regex_search(log, info)) << log;
  EXPECT_NE(log.find("##### Orvo agent manager (learning edition) stopped #####"),
            std::string::npos);
  // "Завершение работы программы" in Windows-1251.
  EXPECT_NE(log.find("\xC7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xE8\xE5 \xF0\xE0\xE1\xEE\xF2\xFB"),
            std::string::npos);
}

TEST(AmCli, SecondConsoleOnTheSamePortsFailsAndTheFirstKeepsRunning) {
  CliHome home;
  home.writeIni("");
  ASSERT_TRUE(home.startConsole()) << home.console().output();
  Child& first = home.console();

  auto second = home.run({"--console"});
  EXPECT_EQ(second.exitCode, 1) << second.output;
  EXPECT_NE(second.output.find("Address already in use"), std::string::npos) << second.output;

  first.write("s\n");
  ASSERT_TRUE(first.waitForOutput("channels: ", 30s)) << first.output();
  first.write("q\n");
  ASSERT_TRUE(first.waitExit(60s));
  EXPECT_EQ(first.exitCode(), 0);
}

}  // namespace
