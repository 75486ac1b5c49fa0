// How the agent supervisor reaches operating-system processes and their output pipes. The
// supervisor decides (command lines, retries, time-outs, messages); the backend only does. The
// real backend works over platform/process.h and platform/pipe.h; tests drive the supervisor
// through a fake one.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/pipe.h"
#include "platform/process.h"

namespace agents {

// The manager's end of an agent's output pipe, made before the process is started.
class AgentPipe {
 public:
  virtual ~AgentPipe() = default;
};

// One agent process (started by us, or found running and attached) with the manager's end of
// its output pipe. Destroying the handle closes the pipe and lets go of the process without
// ending it. Main thread only.
class AgentProcessHandle {
 public:
  virtual ~AgentProcessHandle() = default;
  virtual uint32_t pid() const = 0;
  // The zero-time wait: true once the process has ended.
  virtual bool hasEnded() = 0;
  // How it ended; meaningful once hasEnded() is true.
  virtual platform::ExitStatus exitStatus() const = 0;
  // Forced end (a terminated process reports exit code 1). False with `error` on failure.
  virtual bool terminate(int& error) = 0;
  // Halts every thread of the process, leaving it in memory. False with `error` on failure.
  virtual bool suspend(int& error) = 0;
  // Appends what the output pipe holds now, as the agent wrote it (Windows-1251), but at most
  // `limit` bytes; never waits. Nothing when the process has no pipe (attached processes).
  virtual void readOutput(std::string& out, size_t limit) = 0;
  // The process is left running for the next manager: its named pipe stays in place.
  virtual void leaveRunning() {}
  // Whether hasEnded() or readOutput() could find anything now. False only when the backend's
  // look at the start of this supervision pass (beginPass) showed that it cannot: the pass
  // then skips a call per agent. True whenever the look is missing or stale.
  virtual bool mayHaveEnded() { return true; }
  virtual bool outputMayBeWaiting() { return true; }
  // The process's processor times and memory now (the 5-second sample); false when they cannot
  // be read, as when it has ended.
  virtual bool sample(platform::ProcessTimes& times, platform::ProcessMemory& memory) {
    return platform::readProcessTimes(pid(), times) && platform::readProcessMemory(pid(), memory);
  }
};

// What to start.
struct AgentSpawn {
  // The whole command line as the agent receives it (Windows-1251); split into arguments by
  // platform::splitCommandLine.
  std::string commandLine;
  std::string directory;
  std::vector<std::pair<std::string, std::string>> environment;
  // Listening sockets the agent inherits as handles 3, 4, ... in this order.
  std::vector<int> inheritedSockets;
};

class AgentProcessBackend {
 public:
  virtual ~AgentProcessBackend() = default;

  // One look at every child and every output pipe at the start of a supervision pass, for the
  // handles' mayHaveEnded() and outputMayBeWaiting().
  virtual void beginPass() {}

  // An anonymous pipe for the child's standard output and error; null with `error` on failure.
  virtual std::unique_ptr<AgentPipe> createAnonymousPipe(int& error) = 0;

  // The named pipe `name` (under the backend's pipe root), held for reading. kBusy when another
  // live holder has that name; kFailed with `error` otherwise.
  virtual platform::PipeCreate createNamedPipe(const std::string& name,
                                               std::unique_ptr<AgentPipe>& out, int& error) = 0;

  // Starts the process writing into `pipe` (made by this backend): an anonymous pipe becomes
  // its standard output and error, a named pipe is opened by the agent itself. The returned
  // handle owns the pipe. On failure null with `error`; the pipe is closed.
  virtual std::unique_ptr<AgentProcessHandle> spawn(const AgentSpawn& what,
                                                    std::unique_ptr<AgentPipe> pipe,
                                                    int& error) = 0;

  // A running process that we did not start; it has no output pipe. Null with `error`.
  virtual std::unique_ptr<AgentProcessHandle> attach(uint32_t pid, int& error) = 0;
  // The same, taking over the named pipe `pipeName` the process still writes into, so its
  // output reaches this manager. A pipe that cannot be had leaves the process without one.
  virtual std::unique_ptr<AgentProcessHandle> attachWithPipe(uint32_t pid,
                                                             const std::string& pipeName,
                                                             int& error) {
    (void)pipeName;
    return attach(pid, error);
  }
};

// The real backend. Named pipes live under `pipeRoot` (platform::defaultPipeRoot() normally).
class SystemProcessBackend final : public AgentProcessBackend {
 public:
  // Input buffer asked for the named pipe.
  static constexpr size_t kNamedPipeBuffer = 262144;
  // Buffer asked for the anonymous pipe: output is read once per pass, and a larger buffer lets
  // a busy writer go on between passes.
  static constexpr size_t kAnonymousPipeBuffer = 1u << 20;

  explicit SystemProcessBackend(std::string pipeRoot = platform::defaultPipeRoot());
  SystemProcessBackend(const SystemProcessBackend&) = delete;
  SystemProcessBackend& operator=(const SystemProcessBackend&) = delete;

  std::unique_ptr<AgentPipe> createAnonymousPipe(int& error) override;
  platform::PipeCreate createNamedPipe(const std::string& name, std::unique_ptr<AgentPipe>& out,
                                       int& error) override;
  std::unique_ptr<AgentProcessHandle> spawn(const AgentSpawn& what, std::unique_ptr<AgentPipe> pipe,
                                            int& error) override;
  std::unique_ptr<AgentProcessHandle> attach(uint32_t pid, int& error) override;
  std::unique_ptr<AgentProcessHandle> attachWithPipe(uint32_t pid, const std::string& pipeName,
                                                     int& error) override;

  const std::string& pipeRoot() const { return pipeRoot_; }

  void beginPass() override;
  // A pass's look counts for this long: a handle asked later (outside a pass) looks itself.
  static constexpr uint64_t kPassLookMs = 50;
  // False when a look within kPassLookMs found no ended child.
  bool anyChildMayHaveEnded() const;
  // False when a look within kPassLookMs found nothing in this watched read end.
  bool pipeMayBeReady(int readHandle) const;
  platform::PipeWatch& pipeWatch() { return watch_; }
  // Children whose end only the look for any ended child can show (no exit handle to watch).
  void countUnwatchedChild(int change) { unwatchedChildren_ += change; }

 private:
  bool lookIsFresh() const;

  std::string pipeRoot_;
  platform::PipeWatch watch_;
  bool looked_ = false;
  uint64_t lookMs_ = 0;
  bool childEnded_ = true;
  bool pipesLooked_ = false;
  int unwatchedChildren_ = 0;
};

}  // namespace agents
