#include "server/arguments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "adt/exception.h"
#include "adt/file.h"
#include "server/help.h"

namespace server {
namespace {

// Owns argument strings the way main's argv does and builds Arguments over them.
class Argv {
 public:
  Argv(std::initializer_list<const char*> words, const char* program = "/opt/am/am")
      : words_(words), program_(program) {}
  Arguments args() const {
    return Arguments(static_cast<int32_t>(words_.size()), words_.data(), program_);
  }

 private:
  std::vector<const char*> words_;
  const char* program_;
};

Mode modeOf(std::initializer_list<const char*> words) { return selectMode(Argv(words).args()); }

TEST(Arguments, HasIsExactAndPositionIndependent) {
  const Argv argv({"--debug", "--console", "x"});
  const Arguments args = argv.args();
  EXPECT_EQ(args.count, 3);
  EXPECT_STREQ(args.program, "/opt/am/am");
  EXPECT_TRUE(args.has("--console"));
  EXPECT_TRUE(args.has("x"));
  EXPECT_FALSE(args.has("--Console"));
  EXPECT_FALSE(args.has("--consol"));
  EXPECT_FALSE(args.has("--console "));
  EXPECT_FALSE(args.has(""));
  EXPECT_STREQ(args.at(1), "--console");
  EXPECT_STREQ(args.at(3), "");
  EXPECT_STREQ(args.at(-1), "");
  EXPECT_FALSE(Arguments().has("x"));
}

TEST(Arguments, ModeFollowsTableOrder) {
  EXPECT_EQ(modeOf({}), Mode::kService);
  EXPECT_EQ(modeOf({"--daemon", "-v"}), Mode::kService);
  EXPECT_EQ(modeOf({"--console", "-v"}), Mode::kShowVersion);
  EXPECT_EQ(modeOf({"--checkconf", "--console"}), Mode::kConsole);
  EXPECT_EQ(modeOf({"stop", "reg"}), Mode::kRegister);
  EXPECT_EQ(modeOf({"safe_unreg", "unreg"}), Mode::kUnregister);
  EXPECT_EQ(modeOf({"start", "safe_unreg"}), Mode::kSafeUnregister);
  EXPECT_EQ(modeOf({"stop", "start"}), Mode::kStart);
  EXPECT_EQ(modeOf({"restart", "stop"}), Mode::kStop);
  EXPECT_EQ(modeOf({"--checkconf", "restart"}), Mode::kRestart);
  EXPECT_EQ(modeOf({"--checkmail", "--checkconf"}), Mode::kCheckConf);
  EXPECT_EQ(modeOf({"-h", "sched", "--checkmail"}), Mode::kCheckMail);
  EXPECT_EQ(modeOf({"-h", "sched"}), Mode::kHelpTopic);
  EXPECT_EQ(modeOf({"-?", "foo"}), Mode::kHelpTopic);
  EXPECT_EQ(modeOf({"--hdinfo", "-h", "x.hdmp"}), Mode::kHelpTopic);
  EXPECT_EQ(modeOf({"--hdsplit", "x.hdmp"}), Mode::kHeapDump);
  EXPECT_EQ(modeOf({"--hdinfo", "x.hdmp"}), Mode::kHeapDump);
  EXPECT_EQ(modeOf({"-h"}), Mode::kHelp);
  EXPECT_EQ(modeOf({"-?"}), Mode::kHelp);
  EXPECT_EQ(modeOf({"--debug"}), Mode::kHelp);
  EXPECT_EQ(modeOf({"CONSOLE", "-V"}), Mode::kHelp);
  EXPECT_EQ(modeOf({"#sigstop"}), Mode::kHelp);  // main handles it before choosing a mode
}

TEST(Arguments, VersionLineBytes) {
  EXPECT_EQ(versionLine(), "Orvo agent manager (learning edition) v5.2.430 \n");
  EXPECT_EQ(adt::versionText(kVersion), "5.2.430");
}

TEST(Arguments, PathRules) {
  EXPECT_EQ(settingsPath("/opt/am/am"), "/opt/am/am.ini");
  EXPECT_EQ(settingsPath("/opt/am/am.bin"), "/opt/am/am.ini");
  EXPECT_EQ(settingsPath("/opt/am.d/am"), "/opt/am.d/am.ini");
  EXPECT_EQ(settingsPath("/opt/am/.am"), "/opt/am/.am.ini");
  EXPECT_EQ(settingsPath("C:\\am\\am.exe"), "C:\\am\\am.ini");
  EXPECT_EQ(adt::replaceExtension("/opt/am/am.ini", "sec"), "/opt/am/am.sec");
  EXPECT_EQ(adt::fileNamePart("/opt/am/am"), "am");
  EXPECT_EQ(adt::fileNamePart("C:\\am/x\\am.exe"), "am.exe");
  EXPECT_EQ(adt::fileNamePart("am"), "am");
}

TEST(Help, FullTextHeadAndLines) {
  const adt::String help = fullHelpText("/opt/am/am");
  const adt::String head =
      "Менеджер агентов, версия 5.2.430\n\nЗапуск:\n"
      "am [reg|unreg|start|stop|restart] [-h|-?] [-v] [--debug] [--console]\n"
      "\n"
      "    -h или -?\tвыдать помощь\n"
      "    -v\t\tвыдать версию\n";
  EXPECT_EQ(help.substr(0, head.size()), head);
  for (const char* line : {
           "\n    --checkmail\tотправка тестовых писем на адреса, указанные в am.ini как "
           "admin.mail=...\n",
           "\nОписание файла конфигурации am.ini\nконфигурация состоит из секций:\n",
           "\n    [common]\t\t- не обязательная\n",
           "\n    \tmail.password={pasw}- пароль от почтового ящика\n",
           "\n    sched={{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}-{{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}"
           "\t- расписание запуска агента\n",
           "\n    restart_time=HH1:MM1{;HH2:MM2;...}\t- расписание остановок агента: время суток, "
           "в "
           "которое необходимо останавливать агент\n",
       }) {
    EXPECT_NE(help.find(line), adt::String::npos) << line;
  }
  // The placeholders of the two mailbox lines are filled in.
  EXPECT_EQ(help.find("{…}"), adt::String::npos);
  EXPECT_NE(help.find("\n    \tmail.account={"), adt::String::npos);
  EXPECT_NE(help.find("\n    \tadmin.mail={"), adt::String::npos);
  const adt::String tail =
      "\n    [user]\t\t- описание пользователя\n"
      "    name=admin\t\t- имя пользователя, используемое при аутентификации\n"
      "    permissions=rw\t- права доступа (ro или rw)";
  ASSERT_GE(help.size(), tail.size());
  EXPECT_EQ(help.substr(help.size() - tail.size()), tail);
  EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 73);

  const adt::String windows = fullHelpText("C:\\am\\am.exe");
  EXPECT_NE(windows.find("Запуск:\nam.exe [reg|"), adt::String::npos);
  EXPECT_NE(windows.find("Описание файла конфигурации am.ini\n"), adt::String::npos);
}

TEST(Help, Topics) {
  const adt::String sched = helpTopicText("sched");
  EXPECT_EQ(sched, scheduleHelpText());
  const adt::String head =
      "Менеджер агентов, версия 5.2.430\n\n"
      "Расписание запуска задаётся в настройках агента:\n"
      "    sched={{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}-{{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}\n";
  EXPECT_EQ(sched.substr(0, head.size()), head);
  EXPECT_NE(sched.find("\n  Работать каждый день с 8:00 по 18:30:\n\tsched=8h-18h30m\n"),
            adt::String::npos);
  const adt::String tail = "\n\tsched=1w0h-6w12h\n\tsched=6w13h-1w0h";
  EXPECT_EQ(sched.substr(sched.size() - tail.size()), tail);
  EXPECT_EQ(std::count(sched.begin(), sched.end(), '\n'), 25);

  EXPECT_EQ(helpTopicText("foo"), "Раздел справки \"foo\" не найден");
  EXPECT_EQ(helpTopicText("Sched"), "Раздел справки \"Sched\" не найден");
}

}  // namespace
}  // namespace server
