// The administration of a running manager: its settings files read and replaced (and applied
// without a restart), its statistics, its lock, its log directories and a message to every
// agent.
#include <unordered_set>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "agents/amp.h"
#include "platform/self.h"
#include "server/am_server.h"
#include "server/capacity_check.h"
#include "server/settings_files.h"

namespace server {
namespace {

// A section matches a record by id when it has one, by name otherwise; extra workers, records
// taken out of their group and processes taken over only for a stop ("--" before their id)
// never match.
bool matches(const agents::Agent& agent, const config::AgentConf& section) {
  const config::AgentConf& c = agent.stagedConf;
  if (agent.workerId != 0 || c.id.starts_with("--")) return false;
  return section.id.empty() ? c.name == section.name && c.id.empty() : c.id == section.id;
}

// Longest message that fits one datagram with its header.
constexpr size_t kMaxAgentMessage = 60000;

}  // namespace

void AMServer::getSettings(const adt::String& name, std::string* text, uint32_t& stamp,
                           std::vector<adt::String>* catalogue) {
  const SettingsFile kind = settingsFileKind(name);
  if (catalogue && kind == SettingsFile::kIni) *catalogue = config::knownKeys();
  const std::string path = settingsFilePath(settingsPath_, kind, false);
  SettingsText file = readSettingsFile(path);
  if (!file.exists) {
    adt::log(adt::LOG_INFO, "AMServer::getSettings: File \"" + path + "\" not found.");
    stamp = 0;
    if (text) *text = kind == SettingsFile::kIni ? exampleSettingsText() : std::string();
    return;
  }
  stamp = file.stamp;
  if (text) *text = std::move(file.bytes);
}

void AMServer::serverReconfigure(const adt::String& name, const std::string& text,
                                 uint32_t& stamp) {
  adt::recordOperation("serverReconfigure");
  const SettingsFile kind = settingsFileKind(name);
  uint32_t current = 0;
  getSettings(name, nullptr, current, nullptr);
  if (current != stamp) {
    throw adt::Exception(
        "Зашита от параллельных изменений: настройки уже были изменены кем-то другим");
  }
  const std::string path = settingsFilePath(settingsPath_, kind, true);
  if (kind == SettingsFile::kIni) {
    config::Settings next;
    next.parse(adt::fromCp1251(text));
    reconfigure(next, [&] { storeSettingsFile(path, text); });
  } else {
    storeSettingsFile(path, text);
  }
  stamp = contentStamp(text);
  adt::log(adt::LOG_INFO, "настройки \"" + name + "\" записаны в \"" + path + "\"");
}

bool AMServer::reloadSettings() {
  adt::log(adt::LOG_INFO, "получен сигнал SIGHUP: настройки перечитываются из \"" +
                              settingsPath_ + "\"");
  try {
    config::Settings next;
    next.load(settingsPath_);
    reconfigure(next, [] {});
    return true;
  } catch (const std::exception& e) {
    adt::log(adt::LOG_ERR, std::string("настройки не изменены: ") + e.what());
    return false;
  }
}

void AMServer::reconfigure(const config::Settings& next, const std::function<void()>& store) {
  const adt::String errors = config::validateSettings(next, this);
  if (!errors.empty()) throw adt::Exception("в конфигурации найдены ошибки:" + errors);
  // What the new settings ask of this machine, as at start-up: too few descriptors for all
  // their processes change nothing.
  {
    const CapacityReport capacity =
        checkCapacity(next.common, next.agents, platform::descriptorLimit().soft);
    if (!capacity.error.empty()) throw adt::Exception(capacity.error);
  }

  // The web listener on a new port is had first: a port that cannot be had changes nothing.
  const uint16_t newHttp = next.common.httpPort;
  const bool httpChanges = newHttp != common_.httpPort;
  HttpListenerT* oldHttp = httpListener_;
  std::unique_ptr<HttpListenerT> freshHttp;
  if (httpChanges && newHttp != 0) {
    httpListener_ = nullptr;
    try {
      freshHttp = std::make_unique<HttpListenerT>(*this, newHttp, &httpListener_);
    } catch (...) {
      httpListener_ = oldHttp;
      throw;
    }
    httpListener_ = oldHttp;
  }
  try {
    store();
  } catch (...) {
    freshHttp.reset();
    httpListener_ = oldHttp;
    throw;
  }

  // From here on the new settings are in force.
  settingsTime_ = clock_.nowMs();
  if (next.common.warnMemoryPercent != common_.warnMemoryPercent) lastMemoryWarning_ = 0;
  if (httpChanges) {
    if (oldHttp) oldHttp->close();
    httpListener_ = nullptr;
    if (freshHttp) {
      HttpListenerT* listener = freshHttp.release();
      dispatcher_.add(listener);
      httpListener_ = listener;
    }
  }

  for (const auto& agent : agents_) agent->removed = true;
  agents::AgentList old;
  old.swap(agents_);
  agents::AgentList fresh;
  auto takeOut = [&old](agents::Agent* agent) {
    for (auto& slot : old) {
      if (slot.get() == agent) return std::move(slot);
    }
    return std::unique_ptr<agents::Agent>();
  };
  for (const config::AgentConf& section : next.agents) {
    bool placed = false;
    for (const auto& agent : fresh) placed = placed || matches(*agent, section);
    if (placed) continue;  // a repeated section
    agents::Agent* found = nullptr;
    for (const auto& agent : old) {
      if (agent && matches(*agent, section)) {
        found = agent.get();
        break;
      }
    }
    if (!found) {
      fresh.push_back(std::make_unique<agents::Agent>(*this, section));
      agents::Agent& created = *fresh.back();
      created.syncHttpListeners();
      created.applyWorkers(fresh);
      continue;
    }
    const std::vector<agents::Agent*> members =
        found->group ? *found->group : std::vector<agents::Agent*>{found};
    for (agents::Agent* member : members) {
      std::unique_ptr<agents::Agent> owned = takeOut(member);
      if (!owned) continue;
      owned->removed = false;
      owned->configure(section);
      fresh.push_back(std::move(owned));
    }
    found->applyWorkers(fresh);
  }
  // What no section names any more stays until its process has ended.
  for (auto& agent : old) {
    if (!agent) continue;
    agents::Agent& removed = *agent;
    fresh.push_back(std::move(agent));
    if (!removed.run || removed.run->finished) removed.cleanup();
  }

  portAllocation_ = next.common.clientPorts.min > 0;
  for (const auto& agent : fresh) {
    if (agent->conf.clientPorts.min > 0 || agent->stagedConf.clientPorts.min > 0) {
      portAllocation_ = true;
    }
  }
  agents_ = std::move(fresh);
  // The client and agent ports stay those of the listeners until the next start: agents are
  // told the agent port the manager really listens on.
  const uint16_t clientPort = common_.clientPort, agentPort = common_.agentPort;
  common_ = next.common;
  if (clientPort != common_.clientPort || agentPort != common_.agentPort) {
    adt::log(adt::LOG_WARN,
             "client_port и agent_port: новые значения вступят в силу при следующем запуске AM");
  }
  common_.clientPort = clientPort;
  common_.agentPort = agentPort;
  applyUsers(next.users);
  deleteQueuedAgents();
  adt::log(adt::LOG_INFO, "настройки AM применены: агентов " + std::to_string(agents_.size()));
}

std::vector<clients::ManagerSample> AMServer::managerSamples(double from, double to) const {
  std::vector<clients::ManagerSample> out;
  for (size_t i = 0; i < statistics_.size(); ++i) {
    const ServerSample& s = statistics_.at(i);
    if (!(s.time > from && s.time <= to)) continue;
    out.push_back({s.time, s.memoryPercent, s.usedBytes, s.totalBytes});
  }
  return out;
}

void AMServer::lockManager(bool on, uint32_t address) {
  if (lockedBy_ != 0 && lockedBy_ != address) {
    throw adt::Exception("Сервер заблокирован с другого IP");
  }
  lockedBy_ = on ? address : 0;
  uint8_t o[4];
  std::memcpy(o, &address, sizeof o);
  adt::log(adt::LOG_INFO, adt::format("AM %s клиентом %u.%u.%u.%u",
                                      on ? "заблокирован" : "разблокирован", o[0], o[1], o[2],
                                      o[3]));
}

void AMServer::messageAllAgents(const adt::Bytes& message) {
  if (message.size() > kMaxAgentMessage) {
    throw adt::Exception("Сообщение агентам длиннее " + std::to_string(kMaxAgentMessage) +
                         " байт");
  }
  size_t sent = 0;
  for (const auto& agent : agents_) {
    agents::AgentProcess* p = agent->process();
    if (!p || !p->link) continue;
    p->link->send(agents::amp::kUpdateNotice, 0, message.data(), message.size());
    ++sent;
  }
  adt::log(adt::LOG_INFO, "сообщение агентам (" + std::to_string(message.size()) +
                              " байт) отправлено: " + std::to_string(sent));
}

std::vector<std::string> AMServer::agentLogDirectories() const {
  std::vector<std::string> out;
  for (const auto& agent : agents_) {
    agents::AgentProcess* p = agent->process();
    if (agent->removed || !p || !p->link || p->link->text2.empty()) continue;
    const std::string& file = p->link->text2;
    if (file.front() != '/') continue;  // only a full path says where it is
    const size_t slash = file.find_last_of('/');
    out.push_back(adt::longPath(slash == 0 ? "/" : file.substr(0, slash)));
  }
  return out;
}

std::string AMServer::logDirectory() const {
  const std::string base = adt::logBase();
  if (base.empty()) return adt::longPath(paths_.log);
  const size_t slash = base.find_last_of('/');
  return adt::longPath(slash == std::string::npos ? paths_.home : base.substr(0, slash));
}

adt::String AMServer::logPrefix() const {
  const std::string base = adt::logBase();
  if (!base.empty()) return adt::fileNamePart(base);
  adt::String name = adt::fileNamePart(paths_.module);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

void AMServer::deleteQueuedAgents() {
  if (agentsToDelete_.empty()) return;
  std::vector<agents::Agent*> doomed;
  doomed.swap(agentsToDelete_);
  for (agents::Agent* a : doomed) {
    for (auto it = agents_.begin(); it != agents_.end(); ++it) {
      if (it->get() == a) {
        agents_.erase(it);
        break;
      }
    }
  }
}

}  // namespace server
