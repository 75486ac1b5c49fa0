// One start of an agent (AgentRun) and the operating-system process it made (AgentProcess):
// launch, the process check, the soft stop and the kill.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>

#include "adt/text.h"
#include "agents/agent_attach.h"
#include "agents/agent_output.h"
#include "agents/agent_version.h"
#include "agents/process_backend.h"

namespace agents {

class Agent;
class AgentRun;

// A pending stop of a process. Replaced, never shared.
struct StopRequest {
  uint64_t startTick = 0;     // when the stop was requested
  uint64_t lastSendTick = 0;  // when the terminate request was last sent
  uint64_t timeout = 0;       // after this long since startTick the process is killed
  uint64_t grace = 0;         // 0: plain stop; otherwise the agent may finish its work this long
};

// One operating-system process of an agent; owned by its AgentRun. Owns the process handle,
// the output pipe and the link. Main thread only.
class AgentProcess {
 public:
  AgentProcess(AgentRun& run, adt::String name, bool namedPipe,
               std::unique_ptr<AgentProcessHandle> handle, bool attached);
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // "агент "<name>" (pid:<pid>)", the way every line about a process names it.
  adt::String label() const;

  // Takes what the output pipe holds now (at most one pass's worth) into the output log and the
  // tail; never waits. Called on every supervision pass, so that an agent never blocks on a
  // full pipe.
  void pumpOutput();
  // The end of the run: takes what is left in the pipe (bounded like a pass) and appends the
  // last part of the output, converted from Windows-1251 to UTF-8; the tail is then emptied.
  void readPipe(adt::String& out);

  // Ends the process in four logged steps (kept as they are: operators grep for them):
  // drain the output, terminate (or, with suspendOnly, suspend: the process stays in memory for
  // inspection and counts as killed), notify unless quiet, mark the run finished.
  void kill(const adt::String& reason, bool quiet, bool suspendOnly);

  // The agent's start report arrived from `port`: logs it, makes the link and records the start
  // (the datagram handler then acknowledges it and hands over the HTTP sockets). Returns the
  // new link. The caller ignores reports for processes that are linked already.
  AgentAttach& attachLink(uint16_t port, const AgentStartReport& report);
  // A datagram to the agent bounced: logs "...агент "<name>" (pid:<pid>) останавливается" and
  // deletes the link (a waiting request is detached without an answer).
  void dropLink();

  AgentRun& run;
  const adt::String name;  // the agent's name at launch
  const bool namedPipe;    // output comes through the named pipe
  const uint32_t pid;
  std::unique_ptr<AgentProcessHandle> handle;
  std::unique_ptr<AgentAttach> link;  // null until the start report
  // The start report came once: the link may have gone since (a bounce drops it), but an end
  // after that is no failure to start.
  bool linkedOnce = false;
  std::optional<StopRequest> stopRequest;
  double startTime = 0;    // local time (fractional days) when the process was created
  uint64_t startTick = 0;  // when the process was created
  const bool attached;     // found running at start-up, not launched by this manager
  adt::String lastOutput;  // the last output, taken by the kill
  AgentOutput output;      // home/log/<id>/<id>.out and the in-memory tail
  // Handle numbers under which the agent inherited the HTTP and HTTPS listening sockets
  // (-1: none); they go into the records of the socket hand-over (codes 18 and 20).
  int inheritedHttp[2] = {-1, -1};
};

// One start of an agent: created by Agent::agentStartProcess, deleted by Agent::cleanup.
// Main thread only.
class AgentRun {
 public:
  explicit AgentRun(Agent& agent);
  ~AgentRun();
  AgentRun(const AgentRun&) = delete;
  AgentRun& operator=(const AgentRun&) = delete;

  // The launch step: builds the command line and starts the process. Returns without a process
  // while the chosen version is still being unpacked. Failures are exceptions, logged and
  // notified here and passed on to the caller.
  void launch();

  // The process, or null when there is none. When the process has ended, handles the end
  // (expected with a stop request, unexpected without), marks the run finished and still
  // returns the process. `inPass`: asked by the supervision pass, which may trust the
  // backend's look at the start of the pass instead of asking the system for every agent.
  AgentProcess* checkProcess(bool inPass = false);

  // Asks the process to stop and arms the kill after `timeout` ms. `grace` > 0 lets the agent
  // finish its work first (soft terminate while it lasts). A stop already pending with an
  // earlier deadline is kept (its grace may shrink).
  void softStop(const adt::String& reason, bool notify, uint64_t timeout, uint64_t grace);

  // Kills a process quietly, if there is one, and marks the run finished.
  void finish(const adt::String& reason);

  // Attaches a process found running (no output pipe, counts as using the named pipe).
  // Throws adt::LastError when it cannot be opened.
  // With `pipeName`, the named pipe it still writes into is taken over too.
  void attachProcess(uint32_t pid, const std::string& pipeName = std::string());

  Agent& agent;
  AgentVersionRef version;                // the version used for this start
  std::unique_ptr<AgentProcess> process;  // null until launched
  bool finished = false;  // the process is known to be gone; cleaned up on the next pass
  uint16_t clientPort = 0;

 private:
  void handleEnd(AgentProcess& p);
};

}  // namespace agents
