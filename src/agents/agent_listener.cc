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
  adt::LogLine(adt::LOG_INFO) << "agents.listen(" << port << ")[" << socket_.handle() << "]";
  if (field_) *field_ = this;
}

AgentListener::~AgentListener() {
  adt::LogLine(adt::LOG_INFO) << "agents.close[" << socket_.handle() << "]";
  if (field_ && *field_ == this) *field_ = nullptr;
}

int AgentListener::onRead(adt::ChannelDispatcher&) {
  // Datagrams are at most 64 KiB on the loopback.
  static uint8_t buffer[65536];
  for (size_t i = 0; i < kDatagramBatch; ++i) {
    adt::SocketAddress from;
    int n = 0;
    try {
      n = socket_.recvFrom(buffer, sizeof buffer, &from);
    } catch (const adt::SocketException& e) {
      if (e.code() == platform::kNetWouldBlock) return 0;  // read up
      // A datagram to an agent that has gone bounces back as a reset; the link layer decides.
      if (e.code() != 10054)
        adt::log(adt::LOG_ERR, adt::String("AgentListener::readable ") + e.what());
      return 0;
    }
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
