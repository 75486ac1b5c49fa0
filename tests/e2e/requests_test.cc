// Agent requests against a real manager: build/am supervising build/demo-agent, driven over
// the binary protocol by amclient and by build/amctl.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "adt/socket.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "am_home.h"
#include "password_record.h"
#include "amclient/amclient.h"
#include "platform/net.h"

namespace {

using namespace std::chrono_literals;
using amclient::Element;
using testsupport::Child;

const uint32_t kLocal1 = platform::hostToNet32(0x7F000001);
const uint32_t kLocal2 = platform::hostToNet32(0x7F000002);

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ready());
    // "admin" has the password "secret"; "viewer" is listed without one (empty password).
    testsupport::writeFile(home_.file("am.sec"), testsupport::passwordRecord("admin", "secret"));
  }
  static std::string agentCmd(const std::string& options = "") {
    return AM_BUILD_DIR "/demo-agent --demo-telemetry-ms 500 " + options;
  }
  void start(const std::string& common, const std::string& agents) {
    home_.writeIni(
        "[user]\nname=admin\npermissions=rw\n"
        "[user]\nname=viewer\npermissions=ro\n" +
            agents,
        common);
    ASSERT_TRUE(home_.startConsole()) << home_.console().output();
    am_ = &home_.console();
  }

  // A connection past the handshake, from `from`, logged in as `user` when one is given.
  std::unique_ptr<amclient::Connection> open(const std::string& user = "",
                                             const std::string& password = "",
                                             uint32_t from = kLocal1) {
    auto c = std::make_unique<amclient::Connection>(60000);
    c->connectFrom(from, kLocal1, static_cast<uint16_t>(home_.clientPort));
    c->readGreeting();
    c->sendHandshake();
    if (!user.empty()) {
      EXPECT_TRUE(c->login(user, password).ok);
    }
    return c;
  }
  amclient::Reply command(uint8_t tag, const adt::Bytes& value, const std::vector<Element>& params,
                          const std::string& user = "", uint32_t from = kLocal1) {
    auto c = open(user, user == "admin" ? "secret" : "", from);
    c->sendCommand(tag, value, params);
    return c->readUntilClosed();
  }
  // Names of the agents list (command 32) with `filter` (a nested stream, or empty).
  std::vector<std::string> listNames(const adt::Bytes& filter, uint32_t from = kLocal1) {
    const amclient::Reply reply = command(32, filter, {}, "", from);
    EXPECT_FALSE(reply.failed) << reply.errorText;
    std::vector<std::string> names;
    for (const Element& e : reply.elements) {
      if (e.tag == 54) names.push_back(e.asText());
    }
    return names;
  }
  static adt::Bytes appFilter(const std::string& application) {
    adt::MemoryTaggedWriter w;
    w.writeString(61, application);
    return w.toBytes();
  }
  // Waits until a plain client's login to `name` is answered with a port; the reply.
  amclient::Reply loginToAgent(const std::string& name, uint32_t from = kLocal1) {
    return command(14, Element::text(0, name).value, {}, "", from);
  }
  static bool acceptsTcp(int port) {
    try {
      adt::Socket s;
      s.create(adt::Socket::STREAM);
      s.connect(kLocal1, static_cast<uint16_t>(port));
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  // Runs build/amctl against the manager; `password` (when given) comes from a file.
  testsupport::RunResult amctl(const std::vector<std::string>& args,
                               const char* password = nullptr) {
    std::vector<std::string> argv = {AM_BUILD_DIR "/amctl", "--port",
                                     std::to_string(home_.clientPort)};
    if (password) {
      testsupport::writeFile(home_.file("pw"), std::string(password) + "\n");
      argv.push_back("--password-file");
      argv.push_back(home_.file("pw"));
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, "", 120s);
  }

  testsupport::AmHome home_{AM_BUILD_DIR "/am"};
  Child* am_ = nullptr;
};

TEST_F(Requests, AgentsListFiltersByApplicationAndAddress) {
  start("ip_mask=127.0.0.1\n",
        "[agent]\nname=Crm\napplication=crm\ncmd=" + agentCmd() +
            "\n[agent]\nname=Default\napplication=default\ncmd=" + agentCmd() +
            "\n[agent]\nname=Plain\ncmd=" + agentCmd() +
            "\n[agent]\nname=Remote\napplication=crm\nip_mask=10.0.0.1\ncmd=" + agentCmd() + "\n");
  // The agent's own filter refuses 127.0.0.1, so Remote is not offered, with or without a
  // filter (its login would be refused as unknown).
  EXPECT_EQ(listNames({}), (std::vector<std::string>{"Crm", "Default", "Plain"}));
  EXPECT_EQ(listNames(appFilter("crm")), (std::vector<std::string>{"Crm"}));
  EXPECT_EQ(listNames(appFilter("")), (std::vector<std::string>{"Default", "Plain"}));
  EXPECT_TRUE(listNames(appFilter("erp")).empty());
  // The manager's filter admits only 127.0.0.1: an anonymous client elsewhere gets nothing...
  const amclient::Reply refused = command(32, {}, {}, "", kLocal2);
  EXPECT_FALSE(refused.failed);
  EXPECT_TRUE(refused.elements.empty());
  // ...while a logged-in one gets the list with the machine's memory and each agent's state.
  const amclient::Reply full = command(32, {}, {}, "viewer", kLocal2);
  ASSERT_NE(full.find(93), nullptr);
  ASSERT_NE(full.find(57), nullptr);
  EXPECT_EQ(full.find(57)->asInt(), 0);  // nothing started
  EXPECT_EQ(full.find(56)->asText(), "остановлен");
  // Logins are refused alike where a filter refuses the address, revealing nothing.
  const amclient::Reply remote = loginToAgent("Remote");
  EXPECT_EQ(remote.errorCode, 0x1010);
  EXPECT_EQ(remote.errorText, "Неизвестное имя агента \"Remote\"");
  EXPECT_EQ(loginToAgent("Crm", kLocal2).errorCode, 0x1010);
  EXPECT_EQ(am_->output().find("Запуск агента"), std::string::npos) << am_->output();
}

TEST_F(Requests, LoginStartsAStoppedAgentAndRepliesWithItsClientPort) {
  const int port = testsupport::freeTcpPort();
  start("", "[agent]\nid=a1\nname=Alpha\nclient_port=" + std::to_string(port) +
                "\ncmd=" + agentCmd() + "\n");
  const amclient::Reply reply = loginToAgent("Alpha");
  ASSERT_FALSE(reply.failed) << reply.errorText;
  ASSERT_NE(reply.find(14), nullptr);
  EXPECT_EQ(reply.find(14)->asInt(), port);
  EXPECT_EQ(reply.find(120), nullptr);  // not a worker of a group
  EXPECT_TRUE(acceptsTcp(port));
  EXPECT_NE(am_->output().find("Запуск агента \"Alpha\", причина: запрос клиента(127.0.0.1)"),
            std::string::npos)
      << am_->output();
  // Running now: info gives the start and uptime, then the agent's own answer to the code.
  const amclient::Reply info = command(36, Element::integer(0, 7).value,
                                       {Element::text(51, "a1"), Element(9, {})}, "viewer");
  ASSERT_FALSE(info.failed) << info.errorText;
  ASSERT_NE(info.find(96), nullptr);
  EXPECT_EQ(info.find(96)->asText().rfind("Время запуска агента: ", 0), 0u);
  EXPECT_NE(info.find(96)->asText().find(" (дни:часы:минуты:секунды)\r\n\r\n"), std::string::npos);
  ASSERT_NE(info.find(37), nullptr);
  adt::TaggedBufferReader answer(info.find(37)->value);
  ASSERT_EQ(answer.nextTag(), 1);
  EXPECT_NE(answer.readString().find("info 7"), std::string::npos);
  // Unknown names are refused with the name.
  const amclient::Reply unknown = loginToAgent("Beta");
  EXPECT_EQ(unknown.errorCode, 0x1010);
  EXPECT_EQ(unknown.errorText, "Неизвестное имя агента \"Beta\"");
}

TEST_F(Requests, ConsoleGivesUpOnSlowStartsAndClientsLearnOfEarlyEnds) {
  start("",
        "[agent]\nname=Slow\ncmd=" + agentCmd("--demo-slow-start 20000") +
            "\n[agent]\nname=Crashy\ncmd=" + agentCmd("--demo-no-report --demo-crash-after 300") +
            "\n[agent]\nid=old\nname=Old\nrun_at_least_once=1\ncmd=" +
            agentCmd("--demo-version 5.2.304") + "\n");
  // The console (logged in) is let go without reply while the agent is still starting.
  const amclient::Reply console = command(14, Element::text(0, "Slow").value, {}, "admin");
  EXPECT_FALSE(console.failed) << console.errorText;
  EXPECT_TRUE(console.elements.empty());
  EXPECT_NE(am_->output().find("Запуск агента \"Slow\", причина: запрос vevureroz(127.0.0.1)"),
            std::string::npos)
      << am_->output();
  // A plain client waiting for an agent that ends before reporting learns why...
  const amclient::Reply crashed = loginToAgent("Crashy");
  EXPECT_EQ(crashed.errorCode, 0x1012);
  EXPECT_EQ(
      crashed.errorText.rfind("Неожиданная остановка агента, причина: процесс самозавершился", 0),
      0u)
      << crashed.errorText;
  // ...and right afterwards the agent is not started again.
  const amclient::Reply again = loginToAgent("Crashy");
  EXPECT_EQ(again.errorCode, 0x1012);
  const std::string out = am_->output();
  const size_t first = out.find("Запуск агента \"Crashy\"");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(out.find("Запуск агента \"Crashy\"", first + 1), std::string::npos) << out;
  // Dropping all clients needs an agent of 5.2.305 or later.
  ASSERT_TRUE(am_->waitForOutput("запущен (версия: 5.2.304)", 30s)) << am_->output();
  const amclient::Reply old = command(119, {}, {Element::text(51, "old"), Element(9, {})}, "admin");
  EXPECT_EQ(old.errorText, "Агент не поддерживает данную команду");
}

// Element 71: the client version as four 32-bit integers.
Element clientVersion(int32_t major, int32_t minor, int32_t build) {
  const int32_t v[4] = {major, minor, build, 0};
  return Element::bytes(71, v, sizeof v);
}

TEST_F(Requests, LongLoginFormSendsTheIconToNewerClientsAndKillStopsAtOnce) {
  const int port = testsupport::freeTcpPort();
  // A relative icon lies in the home's icons folder, wherever the manager was started from.
  std::filesystem::create_directories(home_.file("icons"));
  testsupport::writeFile(home_.file("icons/icon.png"), "PNG-BYTES");
  start("", std::string("[agent]\nid=i\nname=Iconic\nicon=icons/icon.png") +
                "\nclient_port=" + std::to_string(port) + "\ncmd=" + agentCmd() + "\n");
  // Element 9 instead of the name: given up, no reply, nothing started.
  const amclient::Reply givenUp = command(30, {}, {clientVersion(5, 2, 40), Element(9, {})});
  EXPECT_FALSE(givenUp.failed);
  EXPECT_TRUE(givenUp.elements.empty());
  const amclient::Reply newer =
      command(30, {}, {clientVersion(5, 2, 32), Element::text(14, "Iconic")});
  ASSERT_NE(newer.find(117), nullptr) << newer.errorText;
  EXPECT_EQ(std::string(newer.find(117)->value.begin(), newer.find(117)->value.end()), "PNG-BYTES");
  ASSERT_NE(newer.find(14), nullptr);
  EXPECT_EQ(newer.find(14)->asInt(), port);
  const amclient::Reply older =
      command(30, {}, {clientVersion(5, 2, 31), Element::text(14, "Iconic")});
  EXPECT_EQ(older.find(117), nullptr);
  EXPECT_NE(older.find(14), nullptr) << older.errorText;
  // Mode 2 kills at once and lets go without reply.
  const amclient::Reply killed = command(33, Element::text(0, "Iconic").value,
                                         {Element::integer(109, 2), Element(9, {})}, "admin");
  EXPECT_FALSE(killed.failed) << killed.errorText;
  EXPECT_EQ(killed.find(34), nullptr);
  EXPECT_NE(am_->output().find("убит, причина: запрос vevureroz(127.0.0.1)"), std::string::npos)
      << am_->output();
  EXPECT_TRUE(testsupport::waitUntil([&] { return !acceptsTcp(port); }, 30s));
}

TEST_F(Requests, WorkerNamesPickTheWorkerAndStoppedAgentsSaySo) {
  const int port = testsupport::freeTcpPort();
  start("", "[agent]\nid=w\nname=Web\nworker_processes=2\nclient_ports=" + std::to_string(port) +
                ":" + std::to_string(port + 3) + "\ncmd=" + agentCmd() + "\n");
  const amclient::Reply reply = loginToAgent("Web#2");
  ASSERT_FALSE(reply.failed) << reply.errorText;
  ASSERT_NE(reply.find(120), nullptr);
  EXPECT_EQ(reply.find(120)->asInt(), 1);  // a worker of a group
  ASSERT_NE(reply.find(14), nullptr);
  EXPECT_TRUE(acceptsTcp(reply.find(14)->asInt()));
  EXPECT_EQ(loginToAgent("Web#3").errorCode, 0x1010);
  // Worker 2 runs, the primary does not.
  const amclient::Reply primary =
      command(36, Element::integer(0, 0).value, {Element::text(51, "w"), Element(9, {})}, "viewer");
  ASSERT_NE(primary.find(96), nullptr);
  EXPECT_EQ(primary.find(96)->asText(), "Агент остановлен");
  const amclient::Reply worker =
      command(36, Element::integer(0, 0).value,
              {Element::text(51, "w"), Element::integer(121, 2), Element(9, {})}, "viewer");
  ASSERT_NE(worker.find(37), nullptr) << worker.errorText;
}

TEST_F(Requests, StopWithAShortTimeOutWaitsTwentySecondsThenKills) {
  start("", "[agent]\nid=s\nname=Stubborn\nrun_at_least_once=1\ncmd=" +
                agentCmd("--demo-ignore-stop") + "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  // A read-only user may not stop agents.
  const amclient::Reply denied =
      command(33, Element::text(0, "Stubborn").value, {Element(9, {})}, "viewer");
  EXPECT_EQ(denied.errorCode, 0x1002);
  const amclient::Reply stopped = command(33, Element::text(0, "Stubborn").value,
                                          {Element::integer(110, 5000), Element(9, {})}, "admin");
  ASSERT_FALSE(stopped.failed) << stopped.errorText;
  EXPECT_NE(stopped.find(34), nullptr);
  const std::string out = am_->output();
  EXPECT_NE(out.find("таймаут(20000мс), причина: запрос vevureroz(127.0.0.1)"), std::string::npos)
      << out;
  EXPECT_NE(out.find("не реагирует на ARQ_TERMINATE_AGENT"), std::string::npos) << out;
}

TEST_F(Requests, LockHoldsTheAgentForOneAddress) {
  const int port = testsupport::freeTcpPort();
  start("", "[agent]\nid=l\nname=Locked\nclient_port=" + std::to_string(port) +
                "\nrun_at_least_once=1\ncmd=" + agentCmd() + "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  const amclient::Reply lock =
      command(68, Element::integer(0, 1).value, {Element::text(54, "Locked")}, "admin", kLocal1);
  ASSERT_FALSE(lock.failed) << lock.errorText;
  EXPECT_NE(lock.find(34), nullptr);
  // Another address can neither take the lock nor release it, nor reach the agent.
  const amclient::Reply other =
      command(68, Element::integer(0, 0).value, {Element::text(51, "l")}, "admin", kLocal2);
  EXPECT_TRUE(other.failed);
  EXPECT_EQ(other.errorText, "Агент заблокирован с другого IP");
  const amclient::Reply refused = loginToAgent("Locked", kLocal2);
  EXPECT_EQ(refused.errorCode, 0x1011);
  EXPECT_EQ(refused.errorText, "Агент \"Locked\" заблокирован");
  // The holder still reaches it, and unlocks it for everyone.
  const amclient::Reply holder = loginToAgent("Locked", kLocal1);
  ASSERT_NE(holder.find(14), nullptr) << holder.errorText;
  EXPECT_EQ(holder.find(14)->asInt(), port);
  EXPECT_FALSE(
      command(68, Element::integer(0, 0).value, {Element::text(51, "l")}, "admin", kLocal1).failed);
  EXPECT_NE(loginToAgent("Locked", kLocal2).find(14), nullptr);
}

TEST_F(Requests, LinkRequestsReachTheAgentAndPassItsAnswerOn) {
  const int port = testsupport::freeTcpPort();
  start("", "[agent]\nid=p\nname=Proxy\nclient_port=" + std::to_string(port) +
                "\nrun_at_least_once=1\ncmd=" + agentCmd() + "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();
  // A pass-through request comes back as the agent answered it (the demo agent echoes it).
  adt::MemoryTaggedWriter payload;
  payload.writeString(5, "эхо");
  const amclient::Reply echo =
      command(115, Element::integer(0, 1000).value,
              {Element::text(51, "p"), Element(9, payload.toBytes())}, "viewer");
  ASSERT_FALSE(echo.failed) << echo.errorText;
  ASSERT_NE(echo.find(5), nullptr);
  EXPECT_EQ(echo.find(5)->asText(), "эхо");
  // The manager's own link codes are not for clients: a stop through the back door is refused.
  const amclient::Reply stop = command(115, Element::integer(0, 3).value,
                                       {Element::text(51, "p"), Element(9, {})}, "viewer");
  EXPECT_TRUE(stop.failed);
  EXPECT_NE(stop.errorText.find("Недопустимый код запроса к агенту: 3"), std::string::npos);
  // Java environment and the agent's own statistics are appended as they are.
  const amclient::Reply java =
      command(81, Element::text(0, "Proxy").value, {Element(9, {})}, "viewer");
  ASSERT_NE(java.find(1), nullptr) << java.errorText;
  EXPECT_EQ(java.find(1)->asText(), "demo agent: no Java runtime");
  adt::MemoryTaggedWriter range;
  const double from = 0, to = 1e7;
  range.writeTag(1, &from, sizeof from);
  range.writeTag(2, &to, sizeof to);
  range.writeInt(3, 1);
  const amclient::Reply stats =
      command(91, {}, {Element::text(54, "Proxy"), Element(202, range.toBytes())}, "viewer");
  ASSERT_NE(stats.find(1), nullptr) << stats.errorText;
  EXPECT_EQ(stats.find(1)->asText(), "demo agent: no statistics");
  // Dropping every client needs the administration level and reaches the agent.
  EXPECT_EQ(command(119, {}, {Element::text(51, "p"), Element(9, {})}, "viewer").errorCode, 0x1002);
  // A desktop client of the agent is dropped (asked again until the agent has accepted it).
  amclient::Connection desktop(2000);
  desktop.connect(kLocal1, static_cast<uint16_t>(port));
  bool closed = false;
  for (int attempt = 0; attempt < 15 && !closed; ++attempt) {
    const amclient::Reply dropped =
        command(119, {}, {Element::text(51, "p"), Element(9, {})}, "admin");
    ASSERT_FALSE(dropped.failed) << dropped.errorText;
    closed = desktop.waitClosed();
  }
  EXPECT_TRUE(closed);
  // The task list is the agent's telemetry: the demo agent waits for requests in one task.
  amclient::Reply threads;
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        threads = command(35, Element::text(0, "Proxy").value, {Element(9, {})}, "viewer");
        return threads.find(60) && threads.find(60)->asInt() == 1;
      },
      30s))
      << threads.errorText;
  ASSERT_NE(threads.find(59), nullptr);
  EXPECT_EQ(threads.find(59)->value.size(), 20u);
  // A stopped agent cannot take pass-through requests.
  ASSERT_FALSE(command(33, Element::text(0, "Proxy").value, {Element(9, {})}, "admin").failed);
  const amclient::Reply notRunning = command(115, Element::integer(0, 1000).value,
                                             {Element::text(51, "p"), Element(9, {})}, "viewer");
  EXPECT_EQ(notRunning.errorText, "Агент \"p\" не запущен");
}

TEST_F(Requests, AmctlListsStopsAndReportsErrorsByExitCode) {
  start("", "[agent]\nid=c1\nname=Ctl\nrun_at_least_once=1\ncmd=" + agentCmd() +
                "\n[agent]\nname=Idle\ncmd=" + agentCmd() + "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();

  const auto list = amctl({"--json", "agents"});
  EXPECT_EQ(list.exitCode, 0) << list.output;
  EXPECT_NE(list.output.find("\"ok\":true"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("\"name\":\"Ctl\""), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("\"name\":\"Idle\""), std::string::npos) << list.output;

  const auto detailed = amctl({"--user", "admin", "agents"}, "secret");
  EXPECT_EQ(detailed.exitCode, 0) << detailed.output;
  EXPECT_NE(detailed.output.find("state=\"работает\""), std::string::npos) << detailed.output;

  const auto wrong = amctl({"--user", "admin", "agents"}, "wrong");
  EXPECT_EQ(wrong.exitCode, 3) << wrong.output;
  EXPECT_NE(wrong.output.find("Неверное имя пользователя или неправильный пароль"),
            std::string::npos)
      << wrong.output;

  EXPECT_EQ(amctl({"info", "Ctl"}).exitCode, 4);  // not logged in
  EXPECT_EQ(amctl({"--user", "admin", "info", "Nobody"}, "secret").exitCode, 5);
  EXPECT_EQ(amctl({"bogus"}).exitCode, 1);

  const auto settings = amctl({"--user", "viewer", "settings", "Ctl"}, "");
  EXPECT_EQ(settings.exitCode, 0) << settings.output;
  EXPECT_NE(settings.output.find("name=Ctl"), std::string::npos) << settings.output;

  const auto stop = amctl({"--user", "admin", "--json", "stop", "Ctl"}, "secret");
  EXPECT_EQ(stop.exitCode, 0) << stop.output;
  EXPECT_NE(stop.output.find("\"ok\":true"), std::string::npos) << stop.output;
  EXPECT_NE(am_->output().find("\"Ctl\" (pid:"), std::string::npos);
  EXPECT_TRUE(testsupport::waitUntil(
      [&] { return am_->output().find(") остановлен") != std::string::npos; }, 30s));

  // A password change, with the passwords taken from the environment.
  const std::string port = std::to_string(home_.clientPort);
  const auto passwd = testsupport::run(
      {"/usr/bin/env", "AM_PASSWORD=secret", "AM_NEW_PASSWORD=newpw", AM_BUILD_DIR "/amctl",
       "--port", port, "--user", "admin", "passwd", "viewer"},
      "", 120s);
  EXPECT_EQ(passwd.exitCode, 0) << passwd.output;
  EXPECT_EQ(amctl({"--user", "viewer", "agents"}, "newpw").exitCode, 0);
  EXPECT_EQ(amctl({"--user", "viewer", "agents"}, "").exitCode, 3);

  const auto help = amctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("Коды завершения"), std::string::npos) << help.output;

  // Nobody listens on the manager's port once it is gone.
  am_->write("q\n");
  ASSERT_TRUE(am_->waitExit(60s));
  EXPECT_EQ(amctl({"agents"}).exitCode, 2);
}

TEST_F(Requests, AmctlShowsTasksSamplesAndProcessFiguresOfARunningAgent) {
  start("", "[agent]\nid=h\nname=Healthy\nrun_at_least_once=1\ncmd=" +
                agentCmd("--demo-stuck-task") + "\n");
  ASSERT_TRUE(am_->waitForOutput(") запущен", 30s)) << am_->output();

  // Tasks: the waiting one and the stuck one with its stack, the decoding, and still time.
  testsupport::RunResult threads;
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        threads = amctl({"--user", "viewer", "--json", "threads", "Healthy"}, "");
        return threads.output.find("\"tasks\":2") != std::string::npos;
      },
      30s))
      << threads.output;
  EXPECT_EQ(threads.exitCode, 0);
  EXPECT_NE(threads.output.find("\"context\":\"зависшая задача (демонстрация)\""),
            std::string::npos)
      << threads.output;
  EXPECT_NE(threads.output.find("\"stack\":\"demo::stuckTask()\\ndemo::main()\""),
            std::string::npos)
      << threads.output;
  EXPECT_NE(threads.output.find("5000=зависшая задача"), std::string::npos) << threads.output;
  EXPECT_NE(threads.output.find("\"blocked\":1"), std::string::npos) << threads.output;

  // The telemetry samples the manager keeps, each with the count the agent gave it.
  const auto samples = amctl({"--user", "viewer", "--json", "statistics", "Healthy", "0"}, "");
  EXPECT_EQ(samples.exitCode, 0) << samples.output;
  EXPECT_NE(samples.output.find("\"count\":1"), std::string::npos) << samples.output;
  EXPECT_EQ(samples.output.find("\"samples\":0"), std::string::npos) << samples.output;

  // The manager's own 5-second samples of the process: its pid and resident memory.
  const std::string pidText = "\"pid\":";
  testsupport::RunResult processes;
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        processes = amctl({"--user", "viewer", "--json", "processes", "Healthy"}, "");
        return processes.output.find("\"samples\":2") != std::string::npos ||
               processes.output.find("\"samples\":3") != std::string::npos;
      },
      30s))
      << processes.output;
  const size_t at = processes.output.find(pidText);
  ASSERT_NE(at, std::string::npos) << processes.output;
  const std::string pid = std::to_string(std::stol(processes.output.substr(at + pidText.size())));
  EXPECT_NE(am_->output().find("\"Healthy\" (pid:" + pid + ")"), std::string::npos)
      << pid << "\n"
      << am_->output();
  EXPECT_EQ(processes.output.find("\"working_set_kb\":0,"), std::string::npos) << processes.output;
  // For people, times are local date-times.
  const auto human = amctl({"--user", "viewer", "processes", "Healthy"}, "");
  EXPECT_TRUE(std::regex_search(human.output,
                                std::regex(R"(time="\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d"  pid=)" + pid)))
      << human.output;

  // The list's details for a logged-in client: processor load of the machine, the agent's load
  // figures and its newest process sample.
  const auto list = amctl({"--user", "viewer", "--json", "agents"}, "");
  EXPECT_EQ(list.exitCode, 0) << list.output;
  for (const char* field : {"\"cpu_busy_1m\":", "\"load_score\":", "\"load\":\"",
                            "\"working_set_kb\":", "\"active\":1", "\"cmd\":\""}) {
    EXPECT_NE(list.output.find(field), std::string::npos) << field << "\n" << list.output;
  }
  // A client that is not logged in sees none of it.
  const auto plain = amctl({"--json", "agents"});
  EXPECT_EQ(plain.output.find("load_score"), std::string::npos) << plain.output;
}

}  // namespace
