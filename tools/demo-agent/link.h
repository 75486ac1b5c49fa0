// The demo agent's end of the AMP link: one UDP socket on 127.0.0.1 (a port the system picks)
// that talks to the manager's agent port. The manager learns the agent's port from the start
// report, so every datagram goes out from this one socket. Single-threaded.
#pragma once
#include <cstdint>

#include "adt/socket.h"
#include "adt/text.h"
#include "agents/amp.h"
#include "platform/net.h"

namespace demo {

class ManagerLink {
 public:
  // Binds the socket (non-blocking); throws adt::SocketException.
  explicit ManagerLink(uint16_t managerPort);
  ManagerLink(const ManagerLink&) = delete;
  ManagerLink& operator=(const ManagerLink&) = delete;

  platform::SocketHandle handle() const { return socket_.handle(); }
  uint16_t managerPort() const { return manager_.port; }
  uint16_t localPort() { return socket_.localPort(); }

  // One datagram to the manager. Returns 0 or the socket error code (the manager may not be
  // listening; the caller reports it and goes on).
  int send(uint32_t code, uint32_t arg, const adt::Bytes& payload, uint32_t value1 = 0);

  // The next waiting datagram from the manager, decoded into `out` (its payload points into
  // this link's buffer, valid until the next call). Datagrams from any other sender and
  // malformed ones are dropped and counted. False when nothing more is waiting (or after
  // kMaxTries dropped ones: the poll loop comes back).
  static constexpr int kMaxTries = 64;
  bool receive(agents::amp::Datagram& out);
  uint32_t droppedDatagrams() const { return dropped_; }

 private:
  adt::Socket socket_;
  platform::Endpoint manager_;
  uint32_t dropped_ = 0;
  uint8_t buffer_[agents::amp::kMaxDatagram];
};

// The manager's agent port from AM_AGENT_PORT, else 5002. `warning` is set when the variable
// holds something that is not a port.
uint16_t managerPortFromEnvironment(adt::String& warning);

}  // namespace demo
