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
  // Datagrams taken by one system call.
  static constexpr size_t kSlots = 16;

  // While datagrams keep coming (1000 agents' telemetry is a datagram a millisecond), each
  // would wake the loop on its own, and on some machines a wake costs more than the datagram's
  // work. So once a read empties the socket less than kReadPauseMs after the one before, the
  // socket is not watched for kReadPauseMs: what comes meanwhile waits in the socket's buffer and
  // is read in one go when the time is up (from onIdle, without watching again while the stream
  // lasts). A quiet socket is watched again, so a lone datagram is read at once.
  static constexpr uint64_t kReadPauseMs = 20;

  // Takes the reports of bounced datagrams, then reads the waiting datagrams (at most
  // kDatagramBatch) and hands each to the host. Always lets the dispatcher go on.
  int onRead(adt::ChannelDispatcher& dispatcher) override;
  bool wantsRead() override { return pausedUntil_ == 0; }
  // Reads, when a pause is over.
  void onIdle() override;
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
  // What one read found.
  enum class ReadEnd { kEmpty, kDrained, kBatchFull };
  ReadEnd readBatch();
  // After a read that ended so at `now`: pauses, goes on pausing or watches again.
  void pace(ReadEnd end, uint64_t now);

  adt::Socket socket_;
  uint16_t port_;
  adt::ChannelDispatcher* dispatcher_ = nullptr;  // the one that reads it; known from onRead
  uint64_t lastDrained_ = 0;  // clock ms of the last read that emptied the socket
  uint64_t pausedUntil_ = 0;  // 0: watched
  AgentLinkHost& host_;
  AgentListener** field_;
};

}  // namespace agents
