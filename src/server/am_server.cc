#include "server/am_server.h"

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "adt/socket.h"
#include "agents/agent_http.h"
#include "agents/agent_reattach.h"
#include "agents/agent_stop.h"
#include "agents/amp.h"
#include "platform/net.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/self.h"
#include "platform/system_status.h"
#include "server/arguments.h"
#include "server/capacity_check.h"
#include "server/port_allocation.h"
#include "server/self_restart.h"

namespace server {

void ServerStatistics::append(const ServerSample& s) {
  if (samples_.size() < kSamples) {
    samples_.push_back(s);  // doubling from a power of two stops at exactly kSamples
    return;
  }
  samples_[oldest_] = s;
  oldest_ = (oldest_ + 1) % kSamples;
}

const ServerSample& ServerStatistics::at(size_t i) const {
  return samples_[(oldest_ + i) % samples_.size()];
}

bool processorLoad(const ServerStatistics& samples, double nowDays,
                   const platform::ProcessorTimes& current, double load[3]) {
  static constexpr double kWindows[3] = {1.0 / 1440, 5.0 / 1440, 15.0 / 1440};
  bool any = false;
  for (int w = 0; w < 3; ++w) {
    load[w] = -1;
    // The oldest sample inside the window taken on the same machine state (processor count).
    // Samples are written in time order: walk back from the newest to the window's start, so
    // that a full ring costs no more than the samples of the window.
    const ServerSample* oldest = nullptr;
    for (size_t i = samples.size(); i-- > 0;) {
      const ServerSample& s = samples.at(i);
      if (s.time < nowDays - kWindows[w]) break;
      if (s.processors == 0 || s.processors != current.processors || s.time > nowDays) continue;
      oldest = &s;
    }
    if (!oldest) continue;
    const double seconds = (nowDays - oldest->time) * 86400;
    if (!(seconds > 0.5)) continue;  // too close to now to give a rate
    const double idleRate = (current.idleSeconds - oldest->idleSeconds) / seconds;
    double busy = current.processors - idleRate;
    if (busy < 0) busy = 0;
    if (busy > current.processors) busy = current.processors;
    load[w] = busy;
    any = true;
  }
  return any;
}

namespace {

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string join(const std::string& dir, const char* name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

AMServer::AMServer(const std::string& settingsPath, const Options& options)
    : clock_(options.clock ? *options.clock : platform::systemClock()),
      dispatcher_(clock_),
      backend_(options.pipeRoot.empty() ? platform::defaultPipeRoot() : options.pipeRoot),
      passwords_(adt::replaceExtension(settingsPath, "sec")),
      negotiate_(platform::makeNegotiateProvider(adt::replaceExtension(settingsPath, "keytab"))) {
  // 1-4: clean state, settings defaults, the hang watch (not yet started).
  stopping_ = false;
  hangWatch_ = std::make_unique<adt::CheckerThread>(
      adt::mainOperations(),
      options.hangWatchIntervalMs ? options.hangWatchIntervalMs : adt::CheckerThread::kIntervalMs,
      clock_);
  settingsPath_ = settingsPath;
  settingsTime_ = clock_.nowMs();

  // 3: the users' password store beside the settings file.
  passwords_.load();

  // 5-7: title, hang watch, first trace entry.
  adt::LogLine(adt::LOG_INFO) << kTitle << " v" << adt::versionText(kVersion);
  {
    // Every connection is a descriptor: run with all the system allows this process.
    const platform::DescriptorLimit limit = platform::raiseDescriptorLimit();
    adt::LogLine(adt::LOG_INFO) << "descriptor limit: " << limit.soft << " (hard " << limit.hard
                                << ")";
  }
  adt::registerMainThread();
  hangWatch_->start();
  adt::recordOperation("serverInit");
  adt::countMainLoopTurn();

  // 8: settings.
  config::Settings settings;
  settings.load(settingsPath_);
  common_ = settings.common;
  if (common_.clientPorts.min >= 0) portAllocation_ = true;
  // What the agents ask of this machine, before a port is taken: too few descriptors end the
  // start-up; a common port range too small for all at once is only said.
  {
    const CapacityReport capacity =
        checkCapacity(common_, settings.agents, platform::descriptorLimit().soft);
    for (const adt::String& warning : capacity.warnings) adt::log(adt::LOG_WARN, warning);
    if (!capacity.error.empty()) throw adt::Exception(capacity.error);
  }

  // 9: listeners.
  createListeners();

  // 10-11: directories and the installation key.
  paths_.module = options.modulePath.empty() ? platform::executablePath() : options.modulePath;
  paths_.home = directoryOf(paths_.module);
  paths_.log = join(paths_.home, "log");
  paths_.run = join(paths_.home, "run");
  paths_.updates = join(paths_.home, "updates");
  paths_.agentUpdates = join(paths_.updates, "agents");
  paths_.amUpdates = join(paths_.updates, "am");
  paths_.clientUpdates = join(paths_.updates, "clients");
  installationKey_ = adt::crc64we(paths_.home);

  // 15 (early, so that the agents created next can choose their distributions): the update
  // store of this home, rescanned.
  store_ = std::make_unique<updates::UpdateStore>(paths_.home);
  versions_ = std::make_unique<AgentVersions>(*store_);
  store_->rescan();

  // 12: one record per distinct [agent] section, with its extra workers.
  for (const config::AgentConf& conf : settings.agents) {
    if (findAgent(conf.id, conf.name)) continue;
    agents_.push_back(std::make_unique<agents::Agent>(*this, conf));
    agents::Agent& agent = *agents_.back();
    agent.syncHttpListeners();
    agent.applyWorkers(agents_);
  }

  // 13: users.
  applyUsers(settings.users);

  // 14.
  adt::LogLine(adt::LOG_INFO) << "##### " << kTitle << " started #####";

  // 16: agents a previous manager of this home left running are taken back.
  {
    platform::ProcessTimes self;
    platform::readProcessTimes(platform::currentProcessId(), self);
    agents::reattachAgents(agents_, *this, installationKey_, self.startUnixMs);
  }

  // 17: agents with their own client port range enable allocation.
  for (const auto& agent : agents_) {
    if (agent->conf.clientPorts.min > 0) portAllocation_ = true;
  }
}

AMServer::~AMServer() {
  agents_.clear();
  if (hangWatch_) {
    hangWatch_->stop();
    hangWatch_->join();
  }
  adt::LogLine(adt::LOG_INFO) << "##### " << kTitle << " stopped #####";
  // The dispatcher member deletes every channel still registered (the agent listener, any
  // remaining connections) when it is destroyed, after this body.
}

void AMServer::createListeners() {
  // Supervision, schedules and samples run on the clock, ten times a second, however busy the
  // sockets are.
  dispatcher_.setPeriodic(kPeriodicIntervalMs, [this] { periodicStep(); });
  dispatcher_.add(new ClientListenerT(*this, common_.clientPort, &clientListener_));
  dispatcher_.add(new agents::AgentListener(common_.agentPort, *this, &agentListener_));
  if (common_.httpPort != 0) {
    dispatcher_.add(new HttpListenerT(*this, common_.httpPort, &httpListener_));
  }
}

void AMServer::applyUsers(const std::vector<config::UserConf>& users) {
  users_ = users;
  hasReadWriteUser_ = false;
  for (const config::UserConf& u : users_) {
    if (u.permission == 1) hasReadWriteUser_ = true;
  }
  if (hasReadWriteUser_) return;
  // No read-write user configured: the only stored user, or else the one with the empty name.
  if (passwords_.size() == 1) {
    adminName_ = passwords_.records().front().name;
    return;
  }
  adt::log(adt::LOG_INFO, "no admin-user configured, using default");
  passwords_.ensureDefaultAdmin();
  adminName_.clear();
}

void AMServer::serverProcess() {
  adt::recordOperation("serverProcess");
  adt::countMainLoopTurn();
  dispatcher_.process();
}

void AMServer::serverStop(const adt::String& reason, bool leave, uint64_t timeoutMs) {
  adt::log(adt::LOG_INFO, "Остановка AM, причина: " + reason);
  stopping_ = true;
  adt::recordOperation("serverStop");
  const uint64_t t0 = clock_.nowMs();

  if (clientListener_) clientListener_->close();
  if (httpListener_) httpListener_->close();
  while ((clientListener_ || httpListener_) && clock_.nowMs() - t0 < timeoutMs) serverProcess();

  // Binary-protocol connections are asked to close (web connections are left alone).
  dispatcher_.forEach([](adt::Channel& channel) {
    if (dynamic_cast<clients::Client*>(&channel)) channel.close();
  });

  // Soft stop for every agent, then sweeps that kill what has not gone within the time-out;
  // with `leave`, agents writing into their own named pipe stay for the next manager.
  agents::stopAllAgents(agents_, reason, leave, timeoutMs, t0, clock_, [this] { serverProcess(); });
}

bool AMServer::restartManager(adt::String& why) {
  return launchSelfRestart(paths_.module, paths_.home, why);
}

void AMServer::consoleCommand(const adt::String& command, adt::String& out) {
  if (command == "s") {
    out += "channels: " + std::to_string(dispatcher_.count()) + "\n";
    dispatcher_.forEach([&out](adt::Channel& channel) {
      out += "channel: ";
      if (auto* info = dynamic_cast<adt::StateInfo*>(&channel)) {
        info->describe(out);
      } else {
        out += "?" + std::to_string(reinterpret_cast<uintptr_t>(&channel));
      }
      out += "\n";
    });
  } else if (command == "a") {
    for (const auto& agent : agents_) {
      const config::AgentConf& a = agent->conf;
      out += a.name + "\n";
      if (!a.id.empty()) out += "id = " + a.id + "\n";
      out += "cmd = " + a.cmd + "\n";
      if (!a.dir.empty()) out += "dir = " + a.dir + "\n";
      if (!a.description.empty()) out += "description = " + a.description + "\n";
    }
  } else if (command == "hd") {
    const adt::String base = adt::logBase();
    const adt::String path =
        base.empty() ? adt::replaceExtension(paths_.module, "hdmp") : base + ".hdmp";
    if (!platform::writeHeapReport(path)) {
      throw adt::IOException("\"" + path + "\": heap report not written");
    }
  } else if (command == "?") {
    out +=
        "Команды:\n\tq - выход\n\ta - список агентов\n\ts - статистика\n\thd- дамп памяти\n\t? - "
        "справка\n";
  } else {
    throw adt::Exception("неизвестная команда \"" + command + "\"");
  }
}

agents::Agent* AMServer::findAgent(const adt::String& id, const adt::String& name) const {
  for (const auto& agent : agents_) {
    if (!id.empty() ? agent->conf.id == id : agent->conf.name == name) return agent.get();
  }
  return nullptr;
}

agents::Agent* AMServer::findAgentByPort(uint16_t port) const {
  const auto linkedOn = [port](const agents::Agent& agent) {
    const agents::AgentProcess* p = agent.process();
    return p && p->link && p->link->port == port;
  };
  // Every agent's telemetry comes here: the place an agent was last found on this port is tried
  // first and checked (agents come and go, and the list moves), then the whole list.
  if (const auto hint = portHints_.find(port); hint != portHints_.end()) {
    if (hint->second < agents_.size() && linkedOn(*agents_[hint->second])) {
      return agents_[hint->second].get();
    }
    portHints_.erase(hint);
  }
  for (size_t i = 0; i < agents_.size(); ++i) {
    if (!linkedOn(*agents_[i])) continue;
    portHints_[port] = i;  // at most one hint a port: bounded by the ports there are
    return agents_[i].get();
  }
  return nullptr;
}

uint16_t AMServer::allocateClientPort(agents::Agent& agent) {
  std::vector<PortClaim> claims;
  size_t self = 0;
  for (const auto& a : agents_) {
    if (a.get() == &agent) self = claims.size();
    PortClaim claim;
    claim.fixedPort = a->conf.clientPort;
    claim.ownRange = a->conf.clientPorts;
    if (a->run) claim.runPort = a->run->clientPort;
    if (agents::AgentProcess* p = a->process(); p && p->link) claim.linkPort = p->link->port;
    claims.push_back(claim);
  }
  return server::allocateClientPort(claims, self, common_.clientPorts, portAllocation_);
}

void AMServer::serverRequestAgent(uint16_t port, uint32_t code, uint32_t arg, const void* payload,
                                  size_t length) {
  if (!agentListener_) return;
  agents::amp::Header header;
  header.code = code;
  header.arg = arg;
  header.dataLength = static_cast<uint32_t>(length);
  uint8_t bytes[agents::amp::kHeaderSize];
  agents::amp::encodeHeader(header, bytes);
  adt::Bytes datagram(bytes, bytes + sizeof bytes);
  if (length) {
    const auto* p = static_cast<const uint8_t*>(payload);
    datagram.insert(datagram.end(), p, p + length);
  }
  adt::SocketAddress to;
  to.address = platform::hostToNet32(0x7F000001);
  to.port = port;
  agentListener_->sendTo(datagram.data(), datagram.size(), to);
}

void AMServer::queueAgentDeletion(agents::Agent& agent) { agentsToDelete_.push_back(&agent); }

agents::AgentHttpSlot* AMServer::openAgentHttp(agents::Agent& agent, uint16_t port, bool secure) {
  return agents::AgentHttp::open(agent, port, secure, dispatcher_);
}

void AMServer::periodicStep() {
  // Agents removed by reconfiguration (or surplus workers) once they have stopped.
  deleteQueuedAgents();
  if (store_) store_->poll();
  notifier_.poll();
  // One look at every child and output pipe, then the supervision step of every agent, in
  // list order (a step may append workers).
  backend_.beginPass();
  for (size_t i = 0; i < agents_.size(); ++i) {
    try {
      agents_[i]->runOnce();
    } catch (const std::exception& e) {
      adt::log(adt::LOG_ERR, e.what());
    }
  }

  const uint64_t now = clock_.nowMs();
  // The first step samples at once; then every time more than 5 s have passed.
  if (!sampledOnce_ || now - lastSampleTime_ > 5000) sampleMemory(now);
}

bool AMServer::processorLoad(double load[3]) {
  platform::ProcessorTimes current;
  if (!platform::readProcessorTimes(current)) {
    load[0] = load[1] = load[2] = -1;
    return false;
  }
  return server::processorLoad(statistics_, platform::toFractionalDays(clock_.localNow()), current,
                               load);
}

void AMServer::sampleMemory(uint64_t now) {
  lastSampleTime_ = now;
  sampledOnce_ = true;
  const double days = platform::toFractionalDays(clock_.localNow());
  // Every agent's running process: its times and memory.
  for (const auto& agent : agents_) agent->sampleProcess(days);
  platform::MemoryStatus memory;
  if (!platform::readMemoryStatus(memory) || memory.totalBytes == 0) return;
  const uint64_t used = memory.totalBytes - memory.availableBytes;
  const int32_t percent = static_cast<int32_t>(used * 100 / memory.totalBytes);
  if (percent >= common_.warnMemoryPercent &&
      (lastMemoryWarning_ == 0 || now - lastMemoryWarning_ > 3600000)) {
    lastMemoryWarning_ = now;
    sendMessage(
        "Предупреждение AM: на сервере использовано " + std::to_string(percent) + "% памяти",
        "на данный момент выделено " + std::to_string(used / 1048576) + "МБ из " +
            std::to_string(memory.totalBytes / 1048576) + "МБ");
  }
  ServerSample sample;
  sample.time = days;
  platform::ProcessorTimes processor;
  if (platform::readProcessorTimes(processor)) {
    sample.idleSeconds = processor.idleSeconds;
    sample.processors = processor.processors;
  }
  sample.memoryPercent = percent;
  sample.usedBytes = used;
  sample.totalBytes = memory.totalBytes;
  statistics_.append(sample);
}

std::optional<adt::String> AMServer::defaultAdmin() const {
  if (hasReadWriteUser_) return std::nullopt;
  return adminName_;
}

uint32_t AMServer::programVersion() const { return kVersion; }

void AMServer::recordOperation(const char* name) { adt::recordOperation(name); }

std::vector<web::AgentSummary> AMServer::agents() const {
  std::vector<web::AgentSummary> out;
  for (const auto& agent : agents_) {
    if (agent->removed) continue;
    const config::AgentConf& c = agent->conf;
    web::AgentSummary s;
    s.id = c.id;
    s.name = c.name;
    s.description = c.description;
    s.icon = c.icon;
    s.application = c.application;
    s.masks = c.masks;
    s.httpPort = c.httpPort;
    s.httpsPort = c.httpsPort;
    s.workerProcesses = c.workerProcesses;
    s.heavyProcesses = c.heavyProcesses;
    s.workerId = agent->workerId;
    out.push_back(std::move(s));
  }
  return out;
}

void AMServer::agentBounced(uint16_t port) {
  // The process is left alone: its lifecycle decides what follows the lost link.
  if (agents::Agent* agent = findAgentByPort(port)) agent->process()->dropLink();
}

void AMServer::agentDatagram(const uint8_t* data, size_t size, uint16_t sourcePort) {
  namespace amp = agents::amp;
  amp::Datagram d;
  const amp::DecodeStatus status = amp::decodeDatagram(data, size, d);
  if (status != amp::DecodeStatus::kOk) {
    adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
        << "AMP from: " << sourcePort << " dropped: " << amp::decodeStatusText(status);
    return;
  }
  switch (d.header.code) {
    case amp::kStartReport:
      startReport(d.payload, d.payloadSize, sourcePort);
      return;
    case amp::kSigstop:
      // The stop itself runs from the main loop, outside this dispatcher step.
      if (!linkTrust_.stopRequestTrusted(sourcePort, clock_.nowMs())) return;
      if (d.payloadSize >= amp::kSigstopPayloadSize) sigstopRequested_ = true;
      serverRequestAgent(sourcePort, amp::kSigstopAnswer, 0, nullptr, 0);
      return;
    default:
      break;
  }
  agents::Agent* agent = findAgentByPort(sourcePort);
  // A process taken over from the previous manager sent its start report there: its first
  // datagram here links it, once the port is known to be its own.
  if (!agent) agent = agents::linkTakenOverAgent(agents_, sourcePort);
  if (!agent) return;
  if (!linkTrust_.fromProcess(agent->process()->pid, sourcePort, d.header.code, clock_.nowMs()))
    return;
  agents::AgentAttach& link = *agent->process()->link;
  switch (d.header.code) {
    case amp::kPingAnswer:
      link.probeOk("отвечает на пинг");
      break;
    case amp::kTelemetry:
      agent->onTelemetry(d.header, d.payload, d.payloadSize);
      break;
    case amp::kHttpSocketTaken:
      link.handoverPending &= ~agents::AgentAttach::kHttpPending;
      break;
    case amp::kHttpsSocketTaken:
      link.handoverPending &= ~agents::AgentAttach::kHttpsPending;
      break;
    default:
      link.deliverAnswer(data, size);
      break;
  }
}

void AMServer::startReport(const uint8_t* payload, size_t size, uint16_t sourcePort) {
  namespace amp = agents::amp;
  amp::StartReport report;
  if (!amp::decodeStartReport(payload, size, report)) return;
  for (const auto& agent : agents_) {
    agents::AgentProcess* p = agent->process();
    if (!p || p->pid != report.pid) continue;
    if (p->link) return;  // linked already
    if (!linkTrust_.fromProcess(p->pid, sourcePort, amp::kStartReport, clock_.nowMs())) return;
    agents::AgentAttach& link = p->attachLink(sourcePort, report);
    const adt::Bytes ack = amp::encodeStartAck(
        p->namedPipe ? std::optional<uint32_t>(platform::currentProcessId()) : std::nullopt);
    link.send(amp::kStartAck, 0, ack.data(), ack.size());
    for (int i = 0; i < 2; ++i) {
      if (!agent->httpListener[i] || p->inheritedHttp[i] < 0) continue;
      uint8_t record[platform::kSocketRecordSize];
      if (const int e = platform::socketRecordFor(agent->httpListener[i]->socketHandle(), p->pid,
                                                  p->inheritedHttp[i], record)) {
        adt::log(adt::LOG_ERR, adt::SocketException("WSADuplicateSocket", e).what());
        continue;
      }
      const adt::Bytes handover = amp::encodeSocketHandover(record);
      link.send(i == 0 ? amp::kHttpSocket : amp::kHttpsSocket, 0, handover.data(), handover.size());
    }
    return;
  }
}

bool AMServer::findRunningAgent(const adt::String& name, const adt::String& id, uint16_t port,
                                adt::String& description) {
  for (const auto& agent : agents_) {
    const config::AgentConf& c = agent->conf;
    if (!agent->run || (c.name == name && c.id == id)) continue;
    if (c.clientPort == port || c.httpPort == port || c.httpsPort == port) {
      description = config::describeRunningAgent(c, port);
      return true;
    }
  }
  return false;
}

}  // namespace server
