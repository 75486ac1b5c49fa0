#include "agents/agent_listener.h"

#include "adt/exception.h"
#include "adt/log.h"
#include "platform/net.h"

namespace agents {

AgentListener::AgentListener(uint16_t port, AgentLinkHost& host, AgentListener** field)
    : port_(port), host_(host), field_(field) {
  socket_.create(1);
  socket_.setReuseAddress();
  socket_.bind(port);
  socket_.setNonBlocking(true);
  // Without it a datagram to an agent whose port has closed vanishes, and its link would only
  // be missed when the telemetry stops.
  if (const int e = platform::socketEnableSendErrors(socket_.handle())) {
    adt::log(adt::LOG_ERR, adt::String("AgentListener: bounces not reported: ") +
                               adt::SocketException("IP_RECVERR", e).what());
  }
  adt::LogLine(adt::LOG_INFO) << "agents.listen(" << port << ")[" << socket_.handle() << "]";
  if (field_) *field_ = this;
}

AgentListener::~AgentListener() {
  adt::LogLine(adt::LOG_INFO) << "agents.close[" << socket_.handle() << "]";
  if (field_ && *field_ == this) *field_ = nullptr;
}

void AgentListener::sendTo(const void* data, size_t size, const adt::SocketAddress& to) {
  platform::socketTakeError(socket_.handle());
  try {
    socket_.sendTo(data, size, to);
  } catch (const adt::SocketException& e) {
    if (e.code() != 10061 && e.code() != platform::kNetConnReset) throw;
    platform::socketTakeError(socket_.handle());
    socket_.sendTo(data, size, to);
  }
}

void AgentListener::takeBounces() {
  for (int i = 0; i < kBouncesPerRead; ++i) {
    platform::Endpoint to;
    int code = 0;
    const platform::NetResult r = platform::socketTakeSendError(socket_.handle(), &to, &code);
    if (!r.ok()) {
      adt::log(adt::LOG_ERR, adt::String("AgentListener::readable ") +
                                 adt::SocketException("recvmsg(MSG_ERRQUEUE)", r.error).what());
      return;
    }
    if (r.value == 0) return;
    // A bounce off a closed port is expected (an agent that has gone); anything else is told.
    if (code != platform::kNetConnReset) {
      adt::log(adt::LOG_ERR, adt::String("AgentListener::readable ") +
                                 adt::SocketException("sendto", code).what());
    }
    if (to.address == platform::hostToNet32(0x7F000001)) host_.agentBounced(to.port);
  }
}

int AgentListener::onRead(adt::ChannelDispatcher&) {
  takeBounces();
  // Datagrams are at most 64 KiB on the loopback.
  static uint8_t buffer[65536];
  for (size_t i = 0; i < kDatagramBatch; ++i) {
    // Read up is the end of every batch: told by the result, not by an exception (whose call
    // stack would be captured for each of the agents' datagrams).
    platform::Endpoint sender;
    const platform::NetResult r =
        platform::socketRecvFrom(socket_.handle(), buffer, sizeof buffer, &sender);
    if (!r.ok()) {
      // Woken by a bounce alone (taken above): nothing to log.
      if (r.error == platform::kNetWouldBlock) return 0;
      if (r.error == platform::kNetConnReset || r.error == 10061) {
        takeBounces();
        continue;
      }
      adt::log(adt::LOG_ERR, adt::String("AgentListener::readable ") +
                                 adt::SocketException("recvfrom", r.error).what());
      return 0;
    }
    const adt::SocketAddress from{sender.address, sender.port};
    const int n = static_cast<int>(r.value);
    adt::LogLine(adt::LOG_DBG, adt::debugEnabled()) << "AMP from: " << from.port << ", size: " << n;
    // Only the loopback speaks the agent link: a datagram from elsewhere could otherwise stop
    // the manager (sigstop) or pose as an agent.
    if (n > 0 && from.address == platform::hostToNet32(0x7F000001)) {
      host_.agentDatagram(buffer, static_cast<size_t>(n), from.port);
    }
  }
  return 0;
}

void AgentListener::describe(adt::String& out) const {
  out += "AgentListener(";
  out += adt::channelStateText(state());
  out += ")";
}

}  // namespace agents
