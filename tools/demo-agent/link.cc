#include "link.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace demo {

namespace amp = agents::amp;

namespace {
constexpr uint32_t kLoopback = 0x7F000001;
}

ManagerLink::ManagerLink(uint16_t managerPort) {
  socket_.create(adt::Socket::DATAGRAM);
  socket_.bind(platform::hostToNet32(kLoopback), 0);
  socket_.setNonBlocking(true);
  manager_.address = platform::hostToNet32(kLoopback);
  manager_.port = managerPort;
}

int ManagerLink::send(uint32_t code, uint32_t arg, const adt::Bytes& payload, uint32_t value1) {
  amp::Header h;
  h.code = code;
  h.arg = arg;
  h.value1 = value1;
  const adt::Bytes d = amp::encodeDatagram(h, payload);
  const platform::NetResult r =
      platform::socketSendTo(socket_.handle(), d.data(), d.size(), manager_);
  return r.error;
}

bool ManagerLink::receive(amp::Datagram& out) {
  // Bounded, so that a flood of foreign datagrams cannot hold the loop here.
  for (int tries = 0; tries < kMaxTries; ++tries) {
    platform::Endpoint from;
    const platform::NetResult r =
        platform::socketRecvFrom(socket_.handle(), buffer_, sizeof buffer_, &from);
    // Would block: nothing more. Any other error (a bounced earlier send) is no datagram.
    if (!r.ok()) {
      if (r.error != platform::kNetWouldBlock) ++dropped_;
      return false;
    }
    if (from.address != manager_.address || from.port != manager_.port ||
        amp::decodeDatagram(buffer_, static_cast<size_t>(r.value), out) != amp::DecodeStatus::kOk) {
      ++dropped_;
      continue;
    }
    return true;
  }
  return false;
}

uint16_t managerPortFromEnvironment(adt::String& warning) {
  const char* text = std::getenv("AM_AGENT_PORT");
  if (!text || !*text) return amp::kDefaultManagerPort;
  unsigned port = 0;
  const char* end = text + std::strlen(text);
  const auto r = std::from_chars(text, end, port);
  if (r.ec != std::errc() || r.ptr != end || port == 0 || port > 65535) {
    warning = adt::format("AM_AGENT_PORT=\"%s\" is no port, using %u", text,
                          static_cast<unsigned>(amp::kDefaultManagerPort));
    return amp::kDefaultManagerPort;
  }
  return static_cast<uint16_t>(port);
}

}  // namespace demo
