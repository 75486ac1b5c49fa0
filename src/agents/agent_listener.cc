#include "agents/agent_listener.h"

#include <algorithm>

#include "adt/dispatcher.h"
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

int AgentListener::onRead(adt::ChannelDispatcher& dispatcher) {
  dispatcher_ = &dispatcher;
  const ReadEnd end = readBatch();
  pace(end, dispatcher.clock().nowMs());
  return 0;
}

void AgentListener::onIdle() {
  if (pausedUntil_ == 0 || !dispatcher_) return;
  const uint64_t now = dispatcher_->clock().nowMs();
  if (now < pausedUntil_) {
    dispatcher_->wakeBy(pausedUntil_);
    return;
  }
  pace(readBatch(), now);
}

void AgentListener::pace(ReadEnd end, uint64_t now) {
  const bool paused = pausedUntil_ != 0;
  const bool busy = end == ReadEnd::kDrained &&
                    (paused || (lastDrained_ != 0 && now - lastDrained_ < kReadPauseMs));
  if (end == ReadEnd::kDrained) lastDrained_ = now;
  if (busy) {
    pausedUntil_ = now + kReadPauseMs;
    dispatcher_->wakeBy(pausedUntil_);
  } else {
    pausedUntil_ = 0;  // quiet, or more than a batch waiting: watched, read as it comes
  }
  if (paused != (pausedUntil_ != 0)) interestChanged();
}

AgentListener::ReadEnd AgentListener::readBatch() {
  takeBounces();
  // Datagrams are at most 64 KiB on the loopback; a slot each, kSlots a call (1 MiB in all, of
  // which only what datagrams have filled is ever resident).
  static uint8_t buffers[kSlots][65536];
  platform::DatagramSlot slots[kSlots];
  size_t handed = 0;
  // Bounded in calls too: a bounce between datagrams makes a call that takes none.
  for (size_t calls = 0; handed < kDatagramBatch && calls < kDatagramBatch; ++calls) {
    const size_t want = std::min(kSlots, kDatagramBatch - handed);
    for (size_t i = 0; i < want; ++i) {
      slots[i].buffer = buffers[i];
      slots[i].capacity = sizeof buffers[i];
    }
    // Read up is the end of every batch: told by the result, not by an exception (whose call
    // stack would be captured for each of the agents' datagrams).
    const platform::NetResult r = platform::socketRecvBatch(socket_.handle(), slots, want);
    if (!r.ok()) {
      // Woken by a bounce alone (taken above): nothing to log.
      if (r.error == platform::kNetWouldBlock) return handed ? ReadEnd::kDrained : ReadEnd::kEmpty;
      if (r.error == platform::kNetConnReset || r.error == 10061) {
        takeBounces();
        continue;
      }
      adt::log(adt::LOG_ERR, adt::String("AgentListener::readable ") +
                                 adt::SocketException("recvfrom", r.error).what());
      return ReadEnd::kEmpty;
    }
    const size_t got = static_cast<size_t>(r.value);
    for (size_t i = 0; i < got; ++i) {
      const platform::DatagramSlot& slot = slots[i];
      adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
          << "AMP from: " << slot.from.port << ", size: " << static_cast<int>(slot.size);
      // Only the loopback speaks the agent link: a datagram from elsewhere could otherwise stop
      // the manager (sigstop) or pose as an agent.
      if (slot.size > 0 && slot.from.address == platform::hostToNet32(0x7F000001)) {
        host_.agentDatagram(static_cast<const uint8_t*>(slot.buffer), slot.size, slot.from.port);
      }
    }
    handed += got;
    // Fewer than asked for: nothing more was waiting.
    if (got < want) return ReadEnd::kDrained;
  }
  return ReadEnd::kBatchFull;
}

void AgentListener::describe(adt::String& out) const {
  out += "AgentListener(";
  out += adt::channelStateText(state());
  out += ")";
}

}  // namespace agents
