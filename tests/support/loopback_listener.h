// Test support: a listener on 127.0.0.1 at a port the system picks, creating one connection
// object `T(host, handle)` per accepted socket (the product's listener binds a fixed port on
// every interface; tests want a free loopback port).
#pragma once
#include <cstdint>

#include "adt/channel.h"
#include "adt/socket.h"
#include "platform/net.h"

namespace testsupport {

template <typename T, typename Host>
class LoopbackListener final : public adt::ServerChannel {
 public:
  explicit LoopbackListener(Host& host) : host_(host) {
    socket_.create(adt::Socket::STREAM);
    socket_.bind(platform::hostToNet32(0x7F000001), 0);
    socket_.listen(adt::Socket::maxBacklog());
    socket_.setNonBlocking(true);
    port = socket_.localPort();
  }
  adt::SocketHandle handle() const override { return socket_.handle(); }
  uint16_t port = 0;

 protected:
  adt::Channel* createChannel(adt::SocketHandle h) override { return new T(host_, h); }

 private:
  Host& host_;
  adt::Socket socket_;
};

}  // namespace testsupport
