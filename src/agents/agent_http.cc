#include "agents/agent_http.h"

#include <exception>
#include <memory>

#include "adt/buffer.h"
#include "adt/exception.h"
#include "adt/hang_watch.h"
#include "adt/log.h"
#include "agents/agent.h"
#include "platform/net.h"

namespace agents {

namespace {

constexpr const char* kResponseHead =
    "HTTP/1.1 200 OK\nContent-Type: text/plain\nCache-Control: no-cache\n\n";

}  // namespace

// ---- AgentHttp ----

AgentHttp* AgentHttp::open(Agent& agent, uint16_t port, bool secure,
                           adt::ChannelDispatcher& dispatcher) {
  auto* channel = new AgentHttp(agent, port, secure, dispatcher);
  dispatcher.add(channel);  // a refusal destroys the channel and throws
  return channel;
}

AgentHttp::AgentHttp(Agent& agent, uint16_t port, bool secure, adt::ChannelDispatcher& dispatcher)
    : agent_(&agent),
      dispatcher_(dispatcher),
      clock_(agent.host.clock()),
      socket_(agent.host.clock()),
      port_(port),
      secure_(secure) {
  socket_.create(adt::Socket::STREAM);
  socket_.setReuseAddress();
  socket_.bind(port);
  socket_.listen(kBacklog);
  // Left blocking, as an agent expects a listener it inherits (the very same open socket, mode
  // included). The manager itself never waits in accept: see answerAll.
  adt::LogLine(adt::LOG_INFO) << scheme() << ".open(" << port << ")[" << socket_.handle() << "]: \""
                              << agent.conf.name << "\"";
}

AgentHttp::~AgentHttp() {
  adt::LogLine(adt::LOG_INFO) << scheme() << ".close[" << socket_.handle() << "]";
  if (agent_) {
    AgentHttpSlot*& field = agent_->httpListener[secure_ ? 1 : 0];
    if (field == this) field = nullptr;
  }
}

int AgentHttp::onRead(adt::ChannelDispatcher&) { return httpConnect(); }

int AgentHttp::httpConnect() {
  adt::recordOperation("httpConnect");
  // Closed in this very step: the dispatcher destroys the channel once the handler returns.
  if (!agent_) return 0;
  try {
    if (agent_->host.stopping()) {
      // No new start while the manager goes down; polling on would only spin the loop.
      setAside_ = true;
      return 1;
    }
    if (!agent_->run) agent_->agentStartProcess("http", false);
    // The launch happens on the next supervision pass; the connection waits in the backlog.
    if (!agent_ || !agent_->process()) return 0;
    setAside_ = true;
    return 1;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    adt::log(adt::LOG_ERR, e.what());
    answerAll(e.what());
    return 0;
  }
}

void AgentHttp::answerAll(const adt::String& text) {
  const adt::String response = kResponseHead + text;
  // A process that still holds the socket (a suspended agent, a child of the agent) may take a
  // connection between the readiness test and the accept: while answering, accepting must not
  // wait. The mode is shared with such holders, so the socket is handed back blocking, as a
  // newly started agent expects to find it.
  (void)platform::socketSetNonBlocking(socket_.handle(), true);
  for (size_t answered = 0; answered < kMaxAnswers; ++answered) {
    const platform::NetResult ready = platform::socketWaitReadable(socket_.handle(), 0);
    if (!ready.ok()) {
      adt::log(adt::LOG_ERR, adt::SocketException("ServerChannel::accept", ready.error).what());
      break;
    }
    if (ready.value == 0) break;
    const platform::NetResult accepted = platform::socketAccept(socket_.handle(), nullptr);
    if (!accepted.ok()) {
      // Taken back by its client, or by another holder of the socket, in the meantime.
      if (accepted.error == platform::kNetWouldBlock) break;
      adt::log(adt::LOG_ERR, adt::SocketException("ServerChannel::accept", accepted.error).what());
      break;
    }
    const adt::SocketHandle h = static_cast<adt::SocketHandle>(accepted.value);
    if (int e = platform::socketSetNonBlocking(h, true)) {
      (void)platform::socketClose(h);
      adt::log(adt::LOG_ERR, adt::SocketException("ServerChannel::nio", e).what());
      break;
    }
    dispatcher_.add(new AgentHttpAnswer(h, response, clock_));
  }
  (void)platform::socketSetNonBlocking(socket_.handle(), false);
}

void AgentHttp::resume() {
  if (!setAside_) return;
  setAside_ = false;
  dispatcher_.add(this);
}

void AgentHttp::close() {
  agent_ = nullptr;
  if (setAside_) {
    delete this;
    return;
  }
  setState(adt::ChannelState::Closed);
}

void AgentHttp::describe(adt::String& out) const {
  out += secure_ ? "AgentHttps(" : "AgentHttp(";
  out += std::to_string(port_) + ")[" + std::to_string(socket_.handle()) + "]";
  if (agent_) out += ": " + agent_->conf.name;
}

// ---- AgentHttpAnswer ----

AgentHttpAnswer::AgentHttpAnswer(adt::SocketHandle handle, const adt::String& response,
                                 platform::Clock& clock)
    : socket_(handle, clock), clock_(clock), acceptedAt_(clock.nowMs()) {
  send(new adt::CopyBuffer(response.data(), response.size()));
  ClientChannel::close();
}

bool AgentHttpAnswer::wantsWrite() {
  if (clock_.nowMs() - acceptedAt_ >= kLimitMs) {
    setState(adt::ChannelState::Closed);
    return false;
  }
  return ClientChannel::wantsWrite();
}

void AgentHttpAnswer::describe(adt::String& out) const {
  out += "AgentHttpAnswer[" + std::to_string(socket_.handle()) + "](";
  out += adt::channelStateText(state());
  out += ")";
}

}  // namespace agents
