#include "notify/conversation.h"

#include "adt/counters.h"
#include "adt/exception.h"
#include "platform/net.h"

namespace notify {

Conversation::Conversation(const char* name, platform::Clock& clock, uint64_t timeoutMs)
    : name_(name), clock_(clock), timeoutMs_(timeoutMs) {}

Conversation::~Conversation() {
  // The concrete conversation has reported through abandon(); this only guards the callback.
  if (!reported_) callback_.error("доставка прервана");
}

void Conversation::abandon() {
  // Destroyed before the outcome was known (shut down with the dispatcher, or dropped by its
  // close limit): the caller still learns that nothing was delivered.
  if (!reported_) report("доставка прервана");
}

bool Conversation::setServer(const adt::String& value, uint16_t defaultPort) {
  return config::parseHostPort(value, defaultPort, &server_);
}

adt::String Conversation::serverText() const {
  return server_.host + ":" + std::to_string(server_.port);
}

void Conversation::connect(uint32_t address) {
  socket_.create(adt::Socket::STREAM);
  socket_.setNonBlocking(true);
  platform::Endpoint remote;
  remote.address = address;
  remote.port = server_.port;
  const int code = platform::socketConnect(socket_.handle(), remote);
  if (code != 0 && code != 10036 && code != platform::kNetWouldBlock) {
    throw adt::SocketException("connect(" + serverText() + ")", code);
  }
  connecting_ = code != 0;
  startedMs_ = clock_.nowMs();
}

bool Conversation::wantsWrite() { return connecting_ || ClientChannel::wantsWrite(); }

void Conversation::onWrite() {
  try {
    if (connecting_) {
      const int code = platform::socketTakeError(socket_.handle());
      if (code != 0) throw adt::SocketException("connect(" + serverText() + ")", code);
      connecting_ = false;
      return;
    }
    ClientChannel::onWrite();
    if (state() == adt::ChannelState::Closed && !reported_) onServerClosed();
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

int Conversation::onRead(adt::ChannelDispatcher& dispatcher) {
  try {
    ClientChannel::onRead(dispatcher);
    if (state() == adt::ChannelState::Closed && !reported_) onServerClosed();
  } catch (const std::exception& e) {
    fail(e.what());
  }
  return 0;
}

void Conversation::onServerClosed() { fail("соединение закрыто сервером"); }

void Conversation::onIdle() {
  if (reported_ || state() != adt::ChannelState::Open) return;
  if (startedMs_ != 0 && clock_.nowMs() - startedMs_ > timeoutMs_) {
    fail(adt::String(name_) + "-сервер не ответил за " + std::to_string(timeoutMs_ / 1000) +
         " с (шаг " + std::to_string(step()) + ")");
  }
}

adt::String Conversation::traced(const adt::String& piece) {
  adt::String out;
  for (char c : piece) {
    if (static_cast<uint8_t>(c) < 32) {
      out += "\\" + std::to_string(static_cast<int>(c));
    } else {
      out += c;
    }
  }
  return out;
}

void Conversation::addTrace(const adt::String& entry) {
  if (trace_.size() >= kMaxTrace) return;
  trace_ += entry;
  if (trace_.size() >= kMaxTrace) trace_ += "...\r\n";
}

void Conversation::succeed() {
  if (reported_) return;
  reported_ = true;
  callback_.success();
}

void Conversation::fail(const adt::String& reason) {
  if (reported_) return;
  report(reason);
  setState(adt::ChannelState::Closed);
}

void Conversation::report(const adt::String& reason) {
  reported_ = true;
  ++adt::managerCounters().notificationFailures;
  callback_.error(reason.c_str());
  logFailure(reason);
}

}  // namespace notify
