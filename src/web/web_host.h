// What the web front needs of the server: the common settings, the home directory, the clock,
// the program version and the configured agents as plain summaries. The server implements it
// from its agent records; tests implement it with a fake. Called on the main thread only.
#pragma once
#include <cstdint>
#include <vector>

#include "adt/text.h"
#include "config/masks.h"
#include "config/settings.h"
#include "platform/clock.h"
#include "web/metrics_text.h"

namespace web {

// One agent record as the web list sees it: a copy of what its configuration says, taken when
// the list is built.
struct AgentSummary {
  adt::String id;
  adt::String name;
  adt::String description;               // "desc" in the list; left out when empty
  adt::String icon;                      // path below the home directory, e.g. "icons/dor.png"
  std::vector<adt::String> application;  // the applications the agent serves ("web", ...)
  config::MaskList masks;                // the agent's own ip_mask / ban_mask
  uint16_t httpPort = 0;                 // 0: the agent has no web port and is never listed
  uint16_t httpsPort = 0;
  int32_t workerProcesses = 1;  // as configured
  int32_t heavyProcesses = 0;   // as configured
  int32_t workerId = 0;         // 0 for an agent's primary record, 2, 3, ... for extra workers
};

class WebHost {
 public:
  // The monotonic clock that times the web connections. Must outlive every connection.
  virtual platform::Clock& clock() = 0;

  // The common settings in force (the welcome text); they change on reconfiguration.
  virtual const config::CommonSettings& settings() const = 0;

  // The manager's home directory; icon files are served from its "icons" folder.
  virtual adt::String homeDirectory() const = 0;

  // The version named in the "Server:" header: major << 24 | minor << 16 | build.
  virtual uint32_t programVersion() const = 0;

  // Every agent record, primary records and extra workers alike, in configuration order.
  // Records that are removed (surplus workers, temporary instances) are best left out.
  virtual std::vector<AgentSummary> agents() const = 0;

  // The operator's metrics for a client at `clientAddress` (first octet in the most
  // significant byte), which has passed the manager's own address filter; per-agent lines only
  // for agents whose filter admits it too. False when this host has none (then GET /metrics is
  // "Not found").
  virtual bool writeMetrics(uint32_t clientAddress, MetricsText& out) {
    (void)clientAddress;
    (void)out;
    return false;
  }

 protected:
  ~WebHost() = default;
};

}  // namespace web
