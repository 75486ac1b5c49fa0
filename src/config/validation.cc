#include "config/validation.h"

#include <string>

#include "config/host_port.h"

namespace config {

void validateCommon(const CommonSettings& common, adt::String& errors, std::set<uint16_t>& ports) {
  if (common.agentPort == 0) errors += "ошибка в значении параметра agent_port\n";
  if (common.clientPort == 0) errors += "ошибка в значении параметра client_port\n";
  if (!ports.insert(common.agentPort).second) {
    errors += " - нарушение уникальности номера порта для agent_port";
  }
  if (!ports.insert(common.clientPort).second) {
    errors += " - нарушение уникальности номера порта для client_port";
  }
  if (common.httpPort != 0 && !ports.insert(common.httpPort).second) {
    errors += " - нарушение уникальности номера порта для http_port";
  }
  // The servers are "host" or "host:port"; a mistyped port would only show when a
  // notification fails.
  HostPort server;
  if (!common.mailServer.empty() && !parseHostPort(common.mailServer, 25, &server)) {
    errors += "ошибка в значении параметра mail.server\n";
  }
  if (!common.xmppServer.empty() && !parseHostPort(common.xmppServer, 5222, &server)) {
    errors += "ошибка в значении параметра xmpp.server\n";
  }
}

void validateAgent(const AgentConf& agent, adt::String& errors, std::set<uint16_t>& ports,
                   std::set<adt::String>& names, std::set<adt::String>& ids,
                   IniDesriptorFinder* finder) {
  const adt::String label = agentLabel(agent);
  adt::String messages;
  const struct {
    const char* key;
    uint16_t port;
  } checks[] = {{"http_port", agent.httpPort},
                {"https_port", agent.httpsPort},
                {"client_port", agent.clientPort}};
  for (const auto& check : checks) {
    if (check.port == 0) continue;
    const std::string port = std::to_string(check.port);
    adt::String running;
    if (!ports.insert(check.port).second) {
      messages +=
          "\n" + label + " - нарушение уникальности номера порта - " + check.key + " = " + port;
    } else if (finder && finder->findRunningAgent(agent.name, agent.id, check.port, running)) {
      messages += "\n" + label + " - порт используется работающим агентом - " + check.key + " = " +
                  port + ", работающий агент: " + running;
    }
  }
  if (!agent.name.empty() && !names.insert(agent.name).second) {
    messages += "\n" + label + " - нарушение уникальности имени - name = " + agent.name;
  }
  if (!agent.id.empty() && !ids.insert(agent.id).second) {
    messages += "\n" + label + " - нарушение уникальности ИД - id = " + agent.id;
  }
  errors += messages;
}

adt::String validateSettings(const Settings& settings, IniDesriptorFinder* finder) {
  adt::String errors;
  UniquenessSets sets;
  validateCommon(settings.common, errors, sets.ports);
  for (const AgentConf& agent : settings.agents) {
    validateAgent(agent, errors, sets.ports, sets.names, sets.ids, finder);
  }
  return errors;
}

adt::String agentLabel(const AgentConf& agent) {
  if (agent.id.empty()) return agent.name;
  return agent.name + " (id: " + agent.id + ")";
}

adt::String describeRunningAgent(const AgentConf& running, uint16_t port) {
  adt::String parts;
  const auto add = [&parts](const adt::String& part) {
    if (!parts.empty()) parts += ",";
    parts += part;
  };
  if (!running.id.empty()) add("id: " + running.id);
  if (running.clientPort == port) add("client_port: " + std::to_string(port));
  if (running.httpPort == port) add("http_port: " + std::to_string(port));
  if (running.httpsPort == port) add("https_port: " + std::to_string(port));
  return running.name + "(" + parts + ")";
}

}  // namespace config
