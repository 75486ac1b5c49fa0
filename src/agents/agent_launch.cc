// The launch step: the agent's command line, its working directory, its output pipe and the
// process itself.
#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "agents/agent.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/self.h"

namespace agents {

namespace {

constexpr int kNamedPipeAttempts = 10;

adt::String quotedOption(const char* option, const adt::String& value) {
  return adt::String(option) + "\"" + value + "\"";
}

}  // namespace

void AgentRun::launch() {
  clientPort = 0;
  AgentHost& host = agent.host;
  const config::AgentConf& conf = agent.conf;
  const std::string& home = host.homePath();
  const adt::String directory = conf.dir.empty() ? adt::String(home) : conf.dir;
  // cmd wins over args: the distribution form is only for sections without their own command.
  const bool distribution = conf.cmd.empty() && !conf.args.empty();
  adt::String cmd;
  try {
    bool namedPipe = false;
    if (distribution) {
      version = agent.version;
      if (!version) {
        throw adt::Exception("Не найдена подходящая версия агента (требуемая версия: " +
                             requiredVersionText(conf.verMin, conf.verMax) + ")");
      }
      // Still being unpacked: no failure, the next pass tries again.
      if (version->state() != DeployState::kReady) return;
      const std::string versionDir = version->directory();
      const std::string program = versionDir + "/dorvi";
      // Archives carry no permissions. A failure here shows as the start's own error.
      platform::makeExecutable(program);
      cmd = program;

      const std::string logDir = home + "/log";
      adt::createDirectory(logDir);
      adt::createDirectory(logDir + "/" + conf.id);
      cmd += " --log " + logDir + "/" + conf.id + "/" + conf.id + ".log";

      std::string settings = home + "/dor.conf";
      if (!platform::pathExists(settings)) {
        settings = home + "/dorvi.conf";
        if (!platform::pathExists(settings)) throw adt::Exception("Не найден dorvi.conf");
      }
      if (version->number() >= adt::makeVersion(5, 2, 5)) {
        cmd += " --conf.path " + settings;
      } else {
        // Older agents read their settings only from their own directory.
        adt::copyOverwrite(settings, versionDir + "/dorvi.conf");
      }
      cmd += " " + conf.args;
      namedPipe = usesNamedPipe(version->number());
    } else {
      cmd = conf.cmd;
    }

    cmd += " --am-key " + std::to_string(host.installationKey());
    if (agent.workerId != 0) cmd += " --worker-id " + std::to_string(agent.workerId);
    if (agent.extHttpsPort != 0) {
      cmd += " --ext-https " + std::to_string(agent.extHttpsPort);
    } else if (agent.extHttpPort != 0) {
      cmd += " --ext-http " + std::to_string(agent.extHttpPort);
    }
    if (!conf.id.empty()) cmd += quotedOption(" --agentid ", conf.id);
    if (!host.serverId().empty()) cmd += quotedOption(" --serverid ", host.serverId());
    if (!conf.name.empty()) cmd += quotedOption(" --name ", conf.name);
    if (platform::isDirectory(home + "/updates")) {
      cmd += quotedOption(" --update.path ", home + "/updates/clients");
    }
    if (!host.fqdn().empty()) cmd += quotedOption(" --fqdn ", host.fqdn());
    clientPort = host.allocateClientPort(agent);
    if (clientPort != 0) cmd += " --cl_port " + std::to_string(clientPort);
    if (agent.heavy && conf.heavyExtraMem > 0) {
      cmd += " --extra_jmem " + std::to_string(conf.heavyExtraMem);
    }
    cmd += " --home.path " + home;
    cmd += " --am-proc " + std::to_string(platform::currentProcessId());

    AgentProcessBackend& backend = host.processBackend();
    std::unique_ptr<AgentPipe> pipe;
    int error = 0;
    if (namedPipe) {
      // Another manager (or a stale agent of ours) may hold the name: try "_", "__", ...
      std::string name = "vantor/am/" + std::to_string(host.installationKey()) + "/agents/" +
                         agentFileComponent(conf.id, conf.name);
      for (int attempt = 1;; ++attempt) {
        const platform::PipeCreate result = backend.createNamedPipe(name, pipe, error);
        if (result == platform::PipeCreate::kCreated) break;
        if (result != platform::PipeCreate::kBusy || attempt >= kNamedPipeAttempts) {
          throw adt::LastError("Cannot create named pipe \"" + name + "\"", error);
        }
        name += "_";
      }
      cmd += " --am-pipe " + name;
    } else {
      pipe = backend.createAnonymousPipe(error);
      if (!pipe) throw adt::LastError("Cannot create pipe", error);
    }

    AgentSpawn what;
    what.commandLine = adt::toCp1251(cmd);
    what.directory = directory;
    what.environment.emplace_back("AM_AGENT_PORT", std::to_string(host.agentPort()));
    int inherited[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
      if (!agent.httpListener[i]) continue;
      inherited[i] = 3 + static_cast<int>(what.inheritedSockets.size());
      what.inheritedSockets.push_back(agent.httpListener[i]->socketHandle());
    }
    std::unique_ptr<AgentProcessHandle> handle = backend.spawn(what, std::move(pipe), error);
    if (!handle) throw adt::LastError("Ошибка запуска агента \"" + conf.name + "\"", error);
    process = std::make_unique<AgentProcess>(*this, conf.name, namedPipe, std::move(handle), false);
    ++agent.starts;
    process->inheritedHttp[0] = inherited[0];
    process->inheritedHttp[1] = inherited[1];
    adt::log(adt::LOG_INFO, "..." + process->label() + " запускается");
  } catch (const std::exception& e) {
    const adt::String text = adt::String(e.what()) + "\n" + "dir: " + directory + "\ncmd: " + cmd;
    adt::log(adt::LOG_ERR, text);
    if (!agent.startedByConsole) {
      adt::String body = text;
      if (!agent.startReason.empty()) body += "\nпричина запуска: " + agent.startReason;
      // A system failure tends to repeat on every attempt: one notification per 5 minutes.
      if (const auto* system = dynamic_cast<const adt::LastError*>(&e)) {
        agent.notifyThrottled(Agent::errorKey(static_cast<uint32_t>(system->code()), 1), e.what(),
                              body);
      } else {
        host.sendError(body, e.what());
      }
    }
    throw;
  }
}

}  // namespace agents
