#include "agents/process_backend.h"

#include "platform/clock.h"
#include "platform/error.h"

namespace agents {

namespace {

// Either kind of pipe, behind one face. Its read end is in the backend's pipe watch from the
// moment it is open until the pipe goes.
class SystemPipe final : public AgentPipe {
 public:
  platform::OutputPipe anonymous;
  platform::NamedPipe named;
  bool isNamed = false;
  platform::PipeWatch* watch = nullptr;
  int watched = -1;

  ~SystemPipe() override {
    if (watch && watched >= 0) watch->remove(watched);
  }

  int readHandle() const { return isNamed ? named.readHandle() : anonymous.readHandle(); }

  void startWatch(platform::PipeWatch& w) {
    const int h = readHandle();
    if (h >= 0 && w.add(h)) {
      watch = &w;
      watched = h;
    }
  }

  void drain(std::string& out, size_t limit) {
    // An error or the end of the pipe leaves what was read so far; there is nothing to retry.
    if (isNamed) {
      if (named.isOpen()) named.drain(out, limit);
    } else if (anonymous.readHandle() >= 0) {
      anonymous.drain(out, limit);
    }
  }
};

class SystemProcessHandle final : public AgentProcessHandle {
 public:
  SystemProcessHandle(SystemProcessBackend& backend, platform::Process process,
                      std::unique_ptr<SystemPipe> pipe)
      : backend_(backend), process_(std::move(process)), pipe_(std::move(pipe)) {
    // Its end shows in the pass's look at every watched handle; a child without an exit handle
    // is found by the look for any ended child.
    const int exit = process_.exitHandle();
    if (exit >= 0 && backend_.pipeWatch().add(exit)) {
      exitWatched_ = exit;
    } else if (process_.isChild()) {
      backend_.countUnwatchedChild(1);
    }
  }
  ~SystemProcessHandle() override {
    if (exitWatched_ >= 0) {
      backend_.pipeWatch().remove(exitWatched_);
    } else if (process_.isChild()) {
      backend_.countUnwatchedChild(-1);
    }
  }

  uint32_t pid() const override { return process_.pid(); }
  bool hasEnded() override { return process_.hasEnded(); }
  platform::ExitStatus exitStatus() const override { return process_.exitStatus(); }
  bool terminate(int& error) override {
    if (process_.terminate()) return true;
    error = platform::lastError();
    return false;
  }
  bool suspend(int& error) override {
    if (process_.suspend()) return true;
    error = platform::lastError();
    return false;
  }
  void readOutput(std::string& out, size_t limit) override {
    if (pipe_) pipe_->drain(out, limit);
  }
  void leaveRunning() override {
    if (pipe_ && pipe_->isNamed) pipe_->named.keepOnClose();
  }
  bool mayHaveEnded() override {
    if (exitWatched_ >= 0) return backend_.pipeMayBeReady(exitWatched_);
    // Only children show in the look for ended children; an attached process without an exit
    // handle is asked every time.
    return !process_.isChild() || backend_.anyChildMayHaveEnded();
  }
  bool outputMayBeWaiting() override {
    return pipe_ && (pipe_->watch == nullptr || backend_.pipeMayBeReady(pipe_->watched));
  }
  // Its /proc files stay open while the handle lives: two reads a sample.
  bool sample(platform::ProcessTimes& times, platform::ProcessMemory& memory) override {
    return process_.sample(times, memory);
  }

 private:
  SystemProcessBackend& backend_;
  platform::Process process_;
  std::unique_ptr<SystemPipe> pipe_;
  int exitWatched_ = -1;  // the process's exit handle while it is in the backend's watch
};

}  // namespace

SystemProcessBackend::SystemProcessBackend(std::string pipeRoot) : pipeRoot_(std::move(pipeRoot)) {}

void SystemProcessBackend::beginPass() {
  // Waiting on no child in particular walks every child in the system's table: only done while
  // some child cannot be watched by its exit handle.
  childEnded_ = unwatchedChildren_ > 0 && platform::anyChildEnded();
  pipesLooked_ = watch_.look();
  lookMs_ = platform::systemClock().nowMs();
  looked_ = true;
}

bool SystemProcessBackend::lookIsFresh() const {
  return looked_ && platform::systemClock().nowMs() - lookMs_ <= kPassLookMs;
}

bool SystemProcessBackend::anyChildMayHaveEnded() const { return childEnded_ || !lookIsFresh(); }

bool SystemProcessBackend::pipeMayBeReady(int readHandle) const {
  return !pipesLooked_ || !lookIsFresh() || watch_.mayBeReady(readHandle);
}

std::unique_ptr<AgentPipe> SystemProcessBackend::createAnonymousPipe(int& error) {
  auto pipe = std::make_unique<SystemPipe>();
  if (!pipe->anonymous.create(kAnonymousPipeBuffer)) {
    error = platform::lastError();
    return nullptr;
  }
  return pipe;
}

platform::PipeCreate SystemProcessBackend::createNamedPipe(const std::string& name,
                                                           std::unique_ptr<AgentPipe>& out,
                                                           int& error) {
  auto pipe = std::make_unique<SystemPipe>();
  pipe->isNamed = true;
  const platform::PipeCreate result = pipe->named.create(pipeRoot_, name, kNamedPipeBuffer);
  if (result == platform::PipeCreate::kCreated) {
    out = std::move(pipe);
  } else {
    error = platform::lastError();
  }
  return result;
}

std::unique_ptr<AgentProcessHandle> SystemProcessBackend::spawn(const AgentSpawn& what,
                                                                std::unique_ptr<AgentPipe> pipe,
                                                                int& error) {
  std::unique_ptr<SystemPipe> own(static_cast<SystemPipe*>(pipe.release()));
  platform::SpawnOptions options;
  options.args = platform::splitCommandLine(what.commandLine);
  options.directory = what.directory;
  options.environment = what.environment;
  options.inheritedSockets = what.inheritedSockets;
  if (own && !own->isNamed) options.outputHandle = own->anonymous.writeHandle();
  platform::Process process;
  if (!process.spawn(options)) {
    error = platform::lastError();
    return nullptr;  // `own` closes both pipe ends
  }
  // The child holds its own copy of the write end; ours must go, so that the end of the child
  // shows as the end of the pipe.
  if (own && !own->isNamed) own->anonymous.closeWriteEnd();
  if (own) own->startWatch(watch_);
  return std::make_unique<SystemProcessHandle>(*this, std::move(process), std::move(own));
}

std::unique_ptr<AgentProcessHandle> SystemProcessBackend::attach(uint32_t pid, int& error) {
  platform::Process process;
  if (!process.attach(pid)) {
    error = platform::lastError();
    return nullptr;
  }
  return std::make_unique<SystemProcessHandle>(*this, std::move(process), nullptr);
}

std::unique_ptr<AgentProcessHandle> SystemProcessBackend::attachWithPipe(
    uint32_t pid, const std::string& pipeName, int& error) {
  platform::Process process;
  if (!process.attach(pid)) {
    error = platform::lastError();
    return nullptr;
  }
  auto pipe = std::make_unique<SystemPipe>();
  pipe->isNamed = true;
  if (pipeName.empty() ||
      pipe->named.adopt(pipeRoot_, pipeName, kNamedPipeBuffer) != platform::PipeCreate::kCreated) {
    pipe.reset();  // output is lost, supervision is not
  }
  if (pipe) pipe->startWatch(watch_);
  return std::make_unique<SystemProcessHandle>(*this, std::move(process), std::move(pipe));
}

}  // namespace agents
