// Validation of a settings model: ports, agent names and ids must be unique, and (when the
// server validates a replacement text) an agent's port must not be held by another running
// agent. Messages are appended to one error text; empty means valid.
#pragma once
#include <cstdint>
#include <set>

#include "adt/text.h"
#include "config/settings.h"

namespace config {

// The search for a running agent that uses a port, implemented by the server. Validation
// without a running server (the settings check mode) passes none.
class IniDesriptorFinder {
 public:
  virtual ~IniDesriptorFinder() = default;

  // True when a configured agent other than the one with exactly this name and id has a current
  // run and uses `port` as its client_port, http_port or https_port; `description` then receives
  // that agent's description (see describeRunningAgent).
  virtual bool findRunningAgent(const adt::String& name, const adt::String& id, uint16_t port,
                                adt::String& description) = 0;
};

// What must stay unique across one validation: every port, agent name and agent id.
struct UniquenessSets {
  std::set<uint16_t> ports;
  std::set<adt::String> names;
  std::set<adt::String> ids;
};

// Checks the [common] part and records its ports in `ports`.
void validateCommon(const CommonSettings& common, adt::String& errors, std::set<uint16_t>& ports);

// Checks one [agent] section against the sets (and records its ports, name and id there);
// `finder` may be null.
void validateAgent(const AgentConf& agent, adt::String& errors, std::set<uint16_t>& ports,
                   std::set<adt::String>& names, std::set<adt::String>& ids,
                   IniDesriptorFinder* finder);

// The whole model: the common part, then every agent in file order with the same sets. Returns
// the error text (empty when valid).
adt::String validateSettings(const Settings& settings, IniDesriptorFinder* finder);

// The agent as messages name it: its name, then " (id: <id>)" when it has an id.
adt::String agentLabel(const AgentConf& agent);

// The text a finder reports for a running agent found on `port`: the name, then in
// parentheses and joined by "," the parts that apply: "id: <id>" (when not empty) and
// "client_port: ", "http_port: ", "https_port: " with the port, each when it equals `port`.
adt::String describeRunningAgent(const AgentConf& running, uint16_t port);

}  // namespace config
