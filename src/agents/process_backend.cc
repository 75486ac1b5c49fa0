#include "agents/process_backend.h"

#include "platform/error.h"

namespace agents {

namespace {

// Either kind of pipe, behind one face.
class SystemPipe final : public AgentPipe {
 public:
  platform::OutputPipe anonymous;
  platform::NamedPipe named;
  bool isNamed = false;

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
  SystemProcessHandle(platform::Process process, std::unique_ptr<SystemPipe> pipe)
      : process_(std::move(process)), pipe_(std::move(pipe)) {}

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

 private:
  platform::Process process_;
  std::unique_ptr<SystemPipe> pipe_;
};

}  // namespace

SystemProcessBackend::SystemProcessBackend(std::string pipeRoot) : pipeRoot_(std::move(pipeRoot)) {}

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
  return std::make_unique<SystemProcessHandle>(std::move(process), std::move(own));
}

std::unique_ptr<AgentProcessHandle> SystemProcessBackend::attach(uint32_t pid, int& error) {
  platform::Process process;
  if (!process.attach(pid)) {
    error = platform::lastError();
    return nullptr;
  }
  return std::make_unique<SystemProcessHandle>(std::move(process), nullptr);
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
  return std::make_unique<SystemProcessHandle>(std::move(process), std::move(pipe));
}

}  // namespace agents
