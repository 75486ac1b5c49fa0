#include "config/validation.h"

#include <gtest/gtest.h>

#include "child.h"

namespace config {
namespace {

Settings parsed(std::string_view text) {
  Settings s;
  s.parse(text);
  return s;
}

// Stands in for the server: a set of agents that are running, searched the way the server's
// finder searches its agent list.
class RunningAgents : public IniDesriptorFinder {
 public:
  explicit RunningAgents(std::vector<AgentConf> running) : running_(std::move(running)) {}

  bool findRunningAgent(const adt::String& name, const adt::String& id, uint16_t port,
                        adt::String& description) override {
    ++calls;
    for (const AgentConf& a : running_) {
      if (a.name == name && a.id == id) continue;
      if (a.clientPort == port || a.httpPort == port || a.httpsPort == port) {
        description = describeRunningAgent(a, port);
        return true;
      }
    }
    return false;
  }

  int calls = 0;

 private:
  std::vector<AgentConf> running_;
};

TEST(ValidateCommon, PortsMustBeSetAndDistinct) {
  EXPECT_EQ(validateSettings(parsed("[common]\nhttp_port=8080\n"), nullptr), "");

  EXPECT_EQ(validateSettings(parsed("[common]\nclient_port=5002\n"), nullptr),
            " - нарушение уникальности номера порта для client_port");
  EXPECT_EQ(validateSettings(parsed("[common]\nhttp_port=5001\n"), nullptr),
            " - нарушение уникальности номера порта для http_port");

  Settings zero;
  zero.common.agentPort = 0;
  zero.common.clientPort = 0;
  EXPECT_EQ(validateSettings(zero, nullptr),
            "ошибка в значении параметра agent_port\n"
            "ошибка в значении параметра client_port\n"
            " - нарушение уникальности номера порта для client_port");

  // A port already taken (by an earlier check) is reported for agent_port as well.
  std::set<uint16_t> ports{5002};
  adt::String errors;
  validateCommon(CommonSettings{}, errors, ports);
  EXPECT_EQ(errors, " - нарушение уникальности номера порта для agent_port");
  EXPECT_EQ(ports, (std::set<uint16_t>{5001, 5002}));
}

TEST(ValidateAgent, DuplicatePortsAreReportedForTheLaterAgentOnly) {
  const Settings s = parsed(
      "[common]\nhttp_port=8080\n"
      "[agent]\nname=A\nclient_port=6001\n"
      "[agent]\nname=B\nid=7\nclient_port=6001\nhttp_port=8080\nhttps_port=5002\n"
      "[agent]\nname=C\nhttps_port=6001\n");
  EXPECT_EQ(validateSettings(s, nullptr),
            "\nB (id: 7) - нарушение уникальности номера порта - http_port = 8080"
            "\nB (id: 7) - нарушение уникальности номера порта - https_port = 5002"
            "\nB (id: 7) - нарушение уникальности номера порта - client_port = 6001"
            "\nC - нарушение уникальности номера порта - https_port = 6001");
}

TEST(ValidateAgent, DuplicateNamesAndIds) {
  const Settings s = parsed(
      "[agent]\nname=A\nid=1\n"
      "[agent]\nname=A\nid=2\n"
      "[agent]\nname=B\nid=1\n"
      "[agent]\nid=3\n"
      "[agent]\nid=3\n"
      "[agent]\n[agent]\n");  // nameless agents do not clash on the empty name
  EXPECT_EQ(validateSettings(s, nullptr),
            "\nA (id: 2) - нарушение уникальности имени - name = A"
            "\nB (id: 1) - нарушение уникальности ИД - id = 1"
            "\n (id: 3) - нарушение уникальности ИД - id = 3");
}

TEST(ValidateAgent, PortsHeldByRunningAgentsOfOtherSections) {
  AgentConf a;
  a.name = "A";
  a.id = "12";
  a.clientPort = 6001;
  RunningAgents running({a});

  // A now has another port; B takes the port A's process still holds.
  const Settings s = parsed(
      "[agent]\nname=A\nid=12\nclient_port=6002\n"
      "[agent]\nname=B\nclient_port=6001\n");
  EXPECT_EQ(validateSettings(s, &running),
            "\nB - порт используется работающим агентом - client_port = 6001, "
            "работающий агент: A(id: 12,client_port: 6001)");
  EXPECT_EQ(validateSettings(s, nullptr), "");  // the offline check knows no running agents

  // The agent itself may keep its own port, and a duplicate is not also asked about.
  RunningAgents again({a});
  const Settings same = parsed(
      "[agent]\nname=A\nid=12\nclient_port=6001\n"
      "[agent]\nname=B\nclient_port=6001\n");
  EXPECT_EQ(validateSettings(same, &again),
            "\nB - нарушение уникальности номера порта - client_port = 6001");
  EXPECT_EQ(again.calls, 1);
}

TEST(ValidateAgent, RunningAgentDescription) {
  AgentConf a;
  a.name = "A";
  a.clientPort = 7000;
  a.httpPort = 7000;
  a.httpsPort = 7443;
  EXPECT_EQ(describeRunningAgent(a, 7000), "A(client_port: 7000,http_port: 7000)");
  EXPECT_EQ(describeRunningAgent(a, 7443), "A(https_port: 7443)");
  a.id = "5";
  EXPECT_EQ(describeRunningAgent(a, 7443), "A(id: 5,https_port: 7443)");
  EXPECT_EQ(agentLabel(a), "A (id: 5)");
}

TEST(ValidateFile, CheckOfASettingsFileOnDisk) {
  const testsupport::TempDir dir;
  const std::string path = dir.file("am.ini");
  // "Агент" in Windows-1251, twice, with one port shared with [common].
  testsupport::writeFile(path,
                         "[common]\r\nclient_port=6000\r\n"
                         "[agent]\r\nname=\xC0\xE3\xE5\xED\xF2\r\nhttp_port=6000\r\n"
                         "[agent]\r\nname=\xC0\xE3\xE5\xED\xF2\r\n");
  Settings s;
  s.load(path);
  EXPECT_EQ(validateSettings(s, nullptr),
            "\nАгент - нарушение уникальности номера порта - http_port = 6000"
            "\nАгент - нарушение уникальности имени - name = Агент");
}

}  // namespace
}  // namespace config
