// The settings of a running build/am read, edited and applied from amctl without a restart:
// an agent's command changed while it runs, agents added and removed, the web port moved, a
// concurrent edit refused by its stamp, the hang-up signal with a good and a bad file; and the
// administrator's other requests: logs listed and followed, the manager lock from two addresses.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "adt/socket.h"
#include "adt/text.h"
#include "am_home.h"
#include "password_record.h"
#include "amclient/amclient.h"
#include "platform/net.h"

namespace {

using namespace std::chrono_literals;
using amclient::Element;

const uint32_t kLocal1 = platform::hostToNet32(0x7F000001);
const uint32_t kLocal2 = platform::hostToNet32(0x7F000002);

std::string agent(const std::string& id, const std::string& name, const std::string& options = "") {
  return "[agent]\nid=" + id + "\nname=" + name + "\nsched=0h-*/24h\ncmd=" AM_BUILD_DIR
         "/demo-agent --demo-telemetry-ms 300" + options + "\n";
}

bool listening(int port) {
  try {
    adt::Socket s;
    s.create(adt::Socket::STREAM);
    s.connect(kLocal1, static_cast<uint16_t>(port));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

class LiveSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    // "admin" has the password "secret"; "viewer" reads without one.
    testsupport::writeFile(home_.file("am.sec"), testsupport::passwordRecord("admin", "secret"));
  }
  std::string users() const {
    return "[user]\nname=admin\npermissions=rw\n[user]\nname=viewer\npermissions=ro\n";
  }
  std::string common() const {
    return "[common]\nclient_port=" + std::to_string(home_.clientPort) +
           "\nagent_port=" + std::to_string(home_.agentPort) + "\n";
  }
  void start(const std::string& sections, const std::string& extraCommon = "") {
    home_.writeIni(users() + sections, extraCommon);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
  }
  testsupport::RunResult amctl(const std::vector<std::string>& args,
                               const std::string& user = "admin") {
    ::setenv("AM_PASSWORD", user == "admin" ? "secret" : "", 1);
    std::vector<std::string> argv = {AM_BUILD_DIR "/amctl", "--port",
                                     std::to_string(home_.clientPort), "--user", user};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, "", 60s);
  }
  // The pid of the running agent `name` from the agents list (0 when it does not run).
  int pidOf(const std::string& name) {
    const testsupport::RunResult r = amctl({"--json", "agents"});
    const std::string key = "\"name\":\"" + name + "\"";
    const size_t at = r.output.find(key);
    if (at == std::string::npos) return 0;
    const size_t end = r.output.find('}', at);
    const size_t pid = r.output.find("\"pid\":", at);
    if (pid == std::string::npos || pid > end) return 0;
    return std::atoi(r.output.c_str() + pid + 6);
  }
  bool listed(const std::string& name) {
    return amctl({"agents"}).output.find("name=\"" + name + "\"") != std::string::npos;
  }
  std::string commandLine(int pid) {
    std::string line = testsupport::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : line) {
      if (c == '\0') c = ' ';
    }
    return line;
  }
  // Saves the manager's settings into `file` (UTF-8) with its stamp beside it.
  std::string fetch(const std::string& file) {
    const testsupport::RunResult r = amctl({"settings", "get", "-o", file});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return testsupport::readFile(file);
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  testsupport::Child* am_ = nullptr;
};

TEST_F(LiveSettings, EditsApplyWhileAgentsRunAndAConcurrentEditIsRefused) {
  const int web1 = testsupport::freeTcpPort(), web2 = testsupport::freeTcpPort();
  start(agent("a1", "Alpha") + agent("r1", "Gone"), "http_port=" + std::to_string(web1) + "\n");
  ASSERT_TRUE(testsupport::waitUntil([&] { return pidOf("Alpha") && pidOf("Gone"); }, 60s))
      << am_->output();
  const int alpha = pidOf("Alpha"), gone = pidOf("Gone");

  // Reading needs the administration level.
  EXPECT_EQ(amctl({"settings", "get"}, "viewer").exitCode, 4);
  const std::string file = home_.file("edit.ini");
  const std::string before = fetch(file);
  ASSERT_NE(before.find("name=Alpha"), std::string::npos) << before;

  // Alpha gets another command, Gone is dropped, Beta is added, the web page moves.
  std::string text = common() + "http_port=" + std::to_string(web2) + "\n" + users() +
                     agent("a1", "Alpha", " --demo-exit-after 3600000") + agent("b1", "Beta");
  testsupport::writeFile(file, text);
  const testsupport::RunResult set = amctl({"settings", "set", file});
  ASSERT_EQ(set.exitCode, 0) << set.output;
  ASSERT_TRUE(testsupport::waitUntil([&] { return pidOf("Beta") != 0; }, 60s)) << am_->output();
  ASSERT_TRUE(testsupport::waitUntil([&] { return listening(web2) && !listening(web1); }, 30s));
  // The running agents kept their processes: Alpha its old command, Gone unlisted but alive.
  EXPECT_EQ(pidOf("Alpha"), alpha);
  EXPECT_EQ(commandLine(alpha).find("--demo-exit-after"), std::string::npos);
  EXPECT_FALSE(listed("Gone"));
  EXPECT_TRUE(testsupport::processAlive(gone));
  // The previous file is backup 1.
  EXPECT_EQ(adt::fromCp1251(testsupport::readFile(home_.file("am.ini.~1"))), before);

  // Once stopped, Alpha starts again with its new command; Gone stops and is gone for good.
  ASSERT_EQ(amctl({"stop", "Alpha", "20000"}).exitCode, 0);
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        const int pid = pidOf("Alpha");
        return pid != 0 && pid != alpha;
      },
      60s))
      << am_->output();
  EXPECT_NE(commandLine(pidOf("Alpha")).find("--demo-exit-after 3600000"), std::string::npos);
  ASSERT_EQ(amctl({"stop", "Gone", "20000"}).exitCode, 0);
  ASSERT_TRUE(testsupport::waitUntil([&] { return !testsupport::processAlive(gone); }, 60s));
  ASSERT_TRUE(testsupport::waitUntil([&] { return amctl({"stop", "Gone"}).exitCode == 5; }, 30s));

  // Somebody else saves first: the older stamp is refused, the file stays theirs.
  const std::string mine = home_.file("mine.ini");
  fetch(mine);
  testsupport::writeFile(file, text + "[agent]\nname=Other\n");
  ASSERT_EQ(amctl({"settings", "set", file}).exitCode, 0);
  testsupport::writeFile(mine, text + "[agent]\nname=Mine\n");
  const testsupport::RunResult late = amctl({"settings", "set", mine});
  EXPECT_EQ(late.exitCode, 8) << late.output;
  EXPECT_NE(late.output.find("Зашита от параллельных изменений"), std::string::npos) << late.output;
  EXPECT_NE(testsupport::readFile(home_.file("am.ini")).find("name=Other"), std::string::npos);

  // A text with errors is refused with them and changes nothing.
  fetch(file);
  testsupport::writeFile(file, text + "[agent]\nname=Clash\nclient_port=" +
                                   std::to_string(home_.clientPort) + "\n");
  const testsupport::RunResult bad = amctl({"settings", "set", file});
  EXPECT_EQ(bad.exitCode, 8);
  EXPECT_NE(bad.output.find("в конфигурации найдены ошибки:\nClash - нарушение уникальности "
                            "номера порта - client_port = "),
            std::string::npos)
      << bad.output;
  EXPECT_TRUE(listed("Other"));
  EXPECT_FALSE(listed("Clash"));
}

TEST_F(LiveSettings, HangupRereadsTheFileAndABadFileChangesNothing) {
  start(agent("a1", "Alpha"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return pidOf("Alpha") != 0; }, 60s)) << am_->output();
  home_.writeIni(users() + agent("a1", "Alpha") + agent("b1", "Beta"));
  am_->kill(SIGHUP);
  ASSERT_TRUE(am_->waitForOutput("настройки AM применены", 30s)) << am_->output();
  ASSERT_TRUE(testsupport::waitUntil([&] { return pidOf("Beta") != 0; }, 60s)) << am_->output();

  // Two agents on one port: logged, nothing changes, the manager goes on.
  home_.writeIni(users() + agent("a1", "Alpha") + "[agent]\nname=X\nclient_port=7000\n" +
                 "[agent]\nname=Y\nclient_port=7000\n");
  am_->kill(SIGHUP);
  ASSERT_TRUE(am_->waitForOutput("настройки не изменены: в конфигурации найдены ошибки:", 30s))
      << am_->output();
  EXPECT_TRUE(listed("Beta"));
  EXPECT_FALSE(listed("X"));
  EXPECT_FALSE(am_->exited());
}

TEST_F(LiveSettings, LogsAreListedAndFollowedAndTheLockHoldsForOneAddress) {
  start(agent("a1", "Alpha"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return pidOf("Alpha") != 0; }, 60s)) << am_->output();

  const testsupport::RunResult logs = amctl({"logs"}, "viewer");
  ASSERT_EQ(logs.exitCode, 0) << logs.output;
  EXPECT_NE(logs.output.find("name=\"am.log\""), std::string::npos) << logs.output;

  // A line written after amctl started following shows up in its output.
  ::setenv("AM_PASSWORD", "", 1);
  testsupport::Child follow({AM_BUILD_DIR "/amctl", "--port", std::to_string(home_.clientPort),
                             "--user", "viewer", "log", "-n", "2000", "--follow"});
  ASSERT_TRUE(follow.waitForOutput("INFO", 30s)) << follow.output();
  ASSERT_EQ(amctl({"lock"}).exitCode, 0);
  EXPECT_TRUE(follow.waitForOutput("AM заблокирован клиентом 127.0.0.1", 30s)) << follow.output();
  follow.kill();

  // Locked from 127.0.0.1: another address reads, but administers nothing, lock included.
  const auto from2 = [&](uint8_t tag, const adt::Bytes& value,
                         const std::vector<Element>& params) {
    amclient::Connection c(60000);
    c.connectFrom(kLocal2, kLocal1, static_cast<uint16_t>(home_.clientPort));
    c.readGreeting();
    c.sendHandshake();
    EXPECT_TRUE(c.login("admin", "secret").ok);
    c.sendCommand(tag, value, params);
    return c.readUntilClosed();
  };
  const amclient::Reply lock2 = from2(67, Element::integer(0, 1).value, {});
  EXPECT_EQ(lock2.errorText, "Сервер заблокирован с другого IP");
  const amclient::Reply settings2 = from2(39, {}, {Element(9, {})});
  EXPECT_EQ(settings2.errorText, "Сервер заблокирован с другого IP");
  const amclient::Reply list2 = from2(32, {}, {});
  ASSERT_NE(list2.find(70), nullptr);
  EXPECT_EQ(list2.find(70)->asInt(), 2);
  EXPECT_EQ(list2.find(106)->asText(), "127.0.0.1");
  // The holder administers and unlocks.
  EXPECT_EQ(amctl({"settings", "get"}).exitCode, 0);
  EXPECT_EQ(amctl({"unlock"}).exitCode, 0);
  EXPECT_EQ(from2(39, {}, {Element(9, {})}).errorText, "");

  // The log request serves the log directories only; the listing of an agent without its own
  // log file is empty (its output log is not a log of the listing).
  const testsupport::RunResult sec = amctl({"log", "log/../am.sec"}, "viewer");
  EXPECT_EQ(sec.exitCode, 8);
  EXPECT_NE(sec.output.find("Абсолютные пути запрещены"), std::string::npos) << sec.output;
  const testsupport::RunResult console = amctl({"console", "a"}, "viewer");
  EXPECT_EQ(console.exitCode, 0);
  EXPECT_NE(console.output.find("id = a1"), std::string::npos) << console.output;
  EXPECT_EQ(amctl({"console", "q"}, "viewer").exitCode, 8);  // no stop from a remote console

  // The manager's own samples for a reader; the agent's telemetry for anybody on an allowed
  // address; a message to every agent for an administrator only.
  const testsupport::RunResult stats = amctl({"--json", "stats"}, "viewer");
  EXPECT_EQ(stats.exitCode, 0) << stats.output;
  EXPECT_NE(stats.output.find("\"memory_percent\":"), std::string::npos) << stats.output;
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        const testsupport::RunResult t = testsupport::run(
            {AM_BUILD_DIR "/amctl", "--port", std::to_string(home_.clientPort), "telemetry",
             "Alpha"},
            "", 60s);
        return t.exitCode == 0 && t.output.find("samples: 0") == std::string::npos &&
               t.output.find("gc_days=") != std::string::npos;
      },
      30s));
  EXPECT_EQ(amctl({"broadcast", "привет"}, "viewer").exitCode, 4);
  EXPECT_EQ(amctl({"broadcast", "привет"}).exitCode, 0);
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        return testsupport::readFile(home_.file("log/a1/a1.out")).find("update notice: ") !=
               std::string::npos;
      },
      30s));
  EXPECT_FALSE(am_->exited());
}

TEST_F(LiveSettings, EditOpensTheEditorAndOffersToMendErrors) {
  start(agent("a1", "Alpha"));
  // The editor: with a marker file beside it, it adds an agent on the manager's client port (an
  // error) and removes the marker; without, it mends that agent.
  const std::string script = home_.file("editor.sh");
  const std::string port = std::to_string(home_.clientPort);
  testsupport::writeFile(script,
                         "#!/bin/sh\n"
                         "if [ -e \"$0.clash\" ]; then rm \"$0.clash\";"
                         " printf '[agent]\\nname=Clash\\nhttps_port=" + port +
                             "\\n' >> \"$1\"; exit 0; fi\n"
                             "sed -i '/^https_port=/d; s/^name=Clash$/name=Added/' \"$1\"\n");
  ::chmod(script.c_str(), 0755);
  const auto edit = [&](const std::string& answers) {
    ::setenv("AM_PASSWORD", "secret", 1);
    testsupport::Child c({AM_BUILD_DIR "/amctl", "--port", std::to_string(home_.clientPort),
                          "--user", "admin", "settings", "edit"},
                         "", {"VISUAL=", "EDITOR=" + script});
    c.write(answers);
    c.closeStdin();
    EXPECT_TRUE(c.waitExit(60s)) << c.output();
    return std::make_pair(c.exitCode(), c.output());
  };
  const std::string clash = "Clash - нарушение уникальности номера порта - https_port = " + port;
  // Refused with the errors and answered "n": nothing changes, the edit is kept.
  testsupport::writeFile(script + ".clash", "");
  auto [code, out] = edit("n\n");
  EXPECT_EQ(code, 8) << out;
  EXPECT_NE(out.find(clash), std::string::npos) << out;
  EXPECT_NE(out.find("правка сохранена в "), std::string::npos) << out;
  EXPECT_EQ(testsupport::readFile(home_.file("am.ini")).find("Clash"), std::string::npos);
  // Refused and answered "y": the editor opens the same text again, mends it, and it is applied.
  testsupport::writeFile(script + ".clash", "");
  std::tie(code, out) = edit("y\n");
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find(clash), std::string::npos) << out;
  EXPECT_NE(out.find("настройки записаны и применены"), std::string::npos) << out;
  EXPECT_TRUE(testsupport::waitUntil([&] { return listed("Added"); }, 30s));
}

}  // namespace
