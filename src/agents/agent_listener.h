// The manager's end of the agent link: one UDP socket on agent_port, bound on all addresses.
#pragma once
#include <cstdint>

#include "adt/channel.h"
#include "adt/socket.h"
#include "adt/state_info.h"

namespace agents {

// What the agent listener needs of the server.
class AgentLinkHost {
 public:
  // One datagram arrived on the agent port from 127.0.0.1:sourcePort. Datagrams from other
  // addresses never get here: agents run on this machine and talk over the loopback.
  virtual void agentDatagram(const uint8_t* data, size_t size, uint16_t sourcePort) = 0;
  // A datagram sent to 127.0.0.1:port bounced (nothing listens there any more): the link of the
  // agent on that port is gone.
  virtual void agentBounced(uint16_t port) = 0;

 protected:
  ~AgentLinkHost() = default;
};

// Owned by the dispatcher; `field` (the server's pointer to it) is cleared on destruction.
// Main thread only.
class AgentListener final : public adt::Channel, public adt::StateInfo {
 public:
  // Binds the port and logs "agents.listen(<port>)[<socket>]"; throws SocketException.
  AgentListener(uint16_t port, AgentLinkHost& host, AgentListener** field);
  // Logs "agents.close[<socket>]".
  ~AgentListener() override;

  adt::SocketHandle handle() const override { return socket_.handle(); }
  // Datagrams handled by one readable step at most, so that a flood shares the step with the
  // other channels and the periodic work.
  static constexpr size_t kDatagramBatch = 64;

  // Takes the reports of bounced datagrams, then reads the waiting datagrams (at most
  // kDatagramBatch) and hands each to the host. Always lets the dispatcher go on.
  int onRead(adt::ChannelDispatcher& dispatcher) override;
  // Hands every queued bounce (at most kBouncesPerRead) to the host. The socket reports itself
  // readable while any is queued, so every read of it takes them first.
  void takeBounces();
  static constexpr int kBouncesPerRead = 64;
  void onWrite() override {}
  bool wantsWrite() override { return false; }

  // "AgentListener(<state>)".
  void describe(adt::String& out) const override;

  // Sends one datagram from the agent socket. A bounce of an earlier datagram leaves an error
  // pending that would fail this send; it is cleared first (the bounce itself stays queued for
  // the next read), and a send failed by one arriving meanwhile is tried once more. Other
  // failures throw SocketException.
  void sendTo(const void* data, size_t size, const adt::SocketAddress& to);

  adt::Socket& socket() { return socket_; }
  uint16_t port() const { return port_; }

 private:
  adt::Socket socket_;
  uint16_t port_;
  AgentLinkHost& host_;
  AgentListener** field_;
};

}  // namespace agents
