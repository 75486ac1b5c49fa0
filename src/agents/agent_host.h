// Everything an agent record needs from the manager around it: time, places, identity,
// notifications, the agent link's send call, the update store, the process backend and the
// agents' HTTP listeners. The server implements it; the tests use a fake.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "adt/text.h"
#include "agents/agent_version.h"
#include "agents/process_backend.h"
#include "platform/clock.h"

namespace agents {

class Agent;

// The manager's listener on one of an agent's HTTP ports while the agent is stopped (the HTTP
// channel implements it). Owned by the dispatcher; the agent keeps a plain pointer, which the
// listener clears when it is destroyed. Main thread only.
class AgentHttpSlot {
 public:
  virtual uint16_t port() const = 0;
  // The listening socket, inherited by the agent process when it starts.
  virtual int socketHandle() const = 0;
  // Answers every connection waiting in the backlog with a short page carrying `text`.
  virtual void answerAll(const adt::String& text) = 0;
  // True while the listener is not polled because the agent process owns the accepting.
  virtual bool setAside() const = 0;
  // Hands a set-aside listener back to the dispatcher.
  virtual void resume() = 0;
  // Closes the listener and lets go of the agent: from then on it never touches the agent
  // again. Its owner destroys it (at once when it was set aside).
  virtual void close() = 0;

 protected:
  ~AgentHttpSlot() = default;
};

// Main thread only.
class AgentHost {
 public:
  virtual platform::Clock& clock() = 0;

  // Directory of the manager's executable, and the run and agent-updates directories.
  virtual const std::string& homePath() const = 0;
  virtual const std::string& runPath() const = 0;
  virtual const std::string& agentUpdatesPath() const = 0;
  // CRC-64/WE of the home path.
  virtual uint64_t installationKey() const = 0;
  // The [common] id and fqdn (either may be empty), and agent_port.
  virtual const adt::String& serverId() const = 0;
  virtual const adt::String& fqdn() const = 0;
  virtual uint16_t agentPort() const = 0;
  // __leave_hanged_agents: an agent that ignores a stop is suspended rather than terminated.
  virtual bool leaveHangedAgents() const = 0;
  // long_operation_timeout in milliseconds: a task of operation code below 20000 whose pulse
  // stands still this long is hung.
  virtual int64_t longOperationTimeoutMs() const = 0;
  // warn.gc.percent: above this share of time in garbage collection the administrators are told.
  virtual int32_t warnGcPercent() const = 0;
  // True once the manager has begun to stop.
  virtual bool stopping() const = 0;
  // Monotonic time of the last (re)configuration: an early failure before it is forgiven.
  virtual uint64_t configurationTick() const = 0;

  // The port the agent is to serve its clients on, or 0. Throws when none is left.
  virtual uint16_t allocateClientPort(Agent& agent) = 0;

  // Notification to the administrators.
  virtual void sendMessage(const adt::String& subject, const adt::String& text) = 0;
  // Error notification: subject "Ошибка в AM" (+ ": " + details), body `text`. Never throws.
  virtual void sendError(const adt::String& text, const adt::String& details) = 0;

  // One AMP datagram to 127.0.0.1:port (header with value1 = value2 = 0, then the payload).
  virtual void serverRequestAgent(uint16_t port, uint32_t code, uint32_t arg, const void* payload,
                                  size_t length) = 0;

  // The update store's distributions; null when there is no store.
  virtual AgentVersionStore* versionStore() = 0;
  virtual AgentProcessBackend& processBackend() = 0;

  // Queues a removed instance, now stopped, for deletion by the next agent check.
  virtual void queueAgentDeletion(Agent& agent) = 0;
  // Opens the manager's listener on an agent's HTTP (secure = false) or HTTPS port; throws a
  // socket error when the port cannot be had.
  virtual AgentHttpSlot* openAgentHttp(Agent& agent, uint16_t port, bool secure) = 0;

 protected:
  ~AgentHost() = default;
};

}  // namespace agents
