// A TCP listener that creates one connection object of type T per accepted socket.
// T must provide: T(Host&, adt::SocketHandle) and static const char* kClassName.
#pragma once
#include <cstdint>

#include "adt/channel.h"
#include "adt/log.h"
#include "adt/socket.h"
#include "adt/state_info.h"

namespace clients {

// Owned by the dispatcher; `field` (the server's pointer to it) is cleared on destruction, so
// a null field means the listener is gone. Main thread only.
template <typename T, typename Host>
class ClientListener final : public adt::ServerChannel, public adt::StateInfo {
 public:
  // Opens the socket with address reuse, binds all interfaces on `port`, listens with the
  // system's maximum backlog and logs "clients.listen(<port>)[<socket>]". Throws
  // SocketException when the port cannot be had.
  ClientListener(Host& host, uint16_t port, ClientListener** field)
      : host_(host), port_(port), field_(field) {
    socket_.create(0);
    socket_.setReuseAddress();
    socket_.bind(port);
    socket_.listen(adt::Socket::maxBacklog());
    socket_.setNonBlocking(true);
    adt::LogLine(adt::LOG_INFO) << "clients.listen(" << port << ")[" << socket_.handle() << "]";
    if (field_) *field_ = this;
  }

  ~ClientListener() override {
    if (field_ && *field_ == this) *field_ = nullptr;
  }

  adt::SocketHandle handle() const override { return socket_.handle(); }

  // "<T>Listener(<port>)".
  void describe(adt::String& out) const override {
    out += T::kClassName;
    out += "Listener(";
    out += std::to_string(port_);
    out += ")";
  }

  uint16_t port() const { return port_; }

 protected:
  adt::Channel* createChannel(adt::SocketHandle handle) override { return new T(host_, handle); }

 private:
  adt::Socket socket_;
  Host& host_;
  uint16_t port_;
  ClientListener** field_;
};

}  // namespace clients
