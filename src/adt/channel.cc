#include "adt/channel.h"

#include <cstring>

#include "adt/dispatcher.h"
#include "adt/exception.h"
#include "adt/log.h"
#include "platform/clock.h"

namespace adt {

const char* channelStateText(ChannelState state) {
  switch (state) {
    case ChannelState::Open:
      return "Open";
    case ChannelState::Closing:
      return "Closing";
    case ChannelState::HalfClosed:
      return "HalfClosed";
    case ChannelState::Closed:
      return "Closed";
  }
  return "?";
}

ClientChannel::~ClientChannel() {
  while (Buffer* b = sendQueue_.pop()) delete b;
}

void ClientChannel::send(Buffer* buffer) {
  if (state() >= ChannelState::HalfClosed) {
    delete buffer;
    return;
  }
  queued_ += buffer->size();
  sendQueue_.push(buffer);
  interestChanged();
}

void ClientChannel::close() {
  if (state() == ChannelState::Open) setState(ChannelState::Closing);
}

Buffer* ClientChannel::newReadBuffer(size_t n) {
  auto* b = new DynamicBuffer(n);
  b->end = static_cast<uint32_t>(n);
  return b;
}

void ClientChannel::onData(Buffer* buffer) { delete buffer; }

void ClientChannel::onSent(size_t) {}

Buffer* ClientChannel::current() {
  // Empty buffers are skipped: sending zero bytes would read as a failed send.
  for (;;) {
    if (sending_ && sending_->start < sending_->end) return sending_.get();
    sending_.reset(sendQueue_.pop());
    if (!sending_) return nullptr;
  }
}

bool ClientChannel::wantsWrite() { return current() != nullptr; }

bool ClientChannel::wantsRead() {
  // Past closing everything read is dropped, so reading costs nothing and ends lingering.
  return state() != ChannelState::Open || queued_ <= kSendQueueLimit;
}

void ClientChannel::checkLimits(uint64_t nowMs) {
  if (queued_ > kSendQueueLimit && state() < ChannelState::HalfClosed) {
    if (overLimitSince_ == 0) {
      overLimitSince_ = nowMs ? nowMs : 1;
    } else if (nowMs - overLimitSince_ > kSendStallLimitMs) {
      LogLine(LOG_WARN) << "connection[" << handle() << "] dropped: " << queued_
                        << " bytes not taken by the peer for "
                        << static_cast<unsigned long long>(kSendStallLimitMs / 1000) << " s";
      setState(ChannelState::Closed);
    }
  } else {
    overLimitSince_ = 0;
  }
  if (state() == ChannelState::HalfClosed && halfClosedSince() != 0 &&
      nowMs - halfClosedSince() > kLingerMs) {
    setState(ChannelState::Closed);
  }
}

int ClientChannel::onRead(ChannelDispatcher& dispatcher) {
  uint8_t* scratch = dispatcher.receiveBuffer();
  const size_t room = ChannelDispatcher::kReceiveChunk;
  platform::NetResult r = platform::socketRecv(handle(), scratch, room);
  if (!r.ok()) {
    if (r.error == platform::kNetConnReset) {
      setState(ChannelState::Closed);  // the peer went away: not an error
    } else if (r.error != platform::kNetWouldBlock) {
      // Would-block after a readiness report only means the input was taken back; try later.
      throw SocketException(format("recv(handle=%d,size=%zu)", handle(), room), r.error);
    }
    return 0;
  }
  if (r.value == 0) {
    setState(ChannelState::Closed);
    return 0;
  }
  const size_t n = static_cast<size_t>(r.value);
  if (state() == ChannelState::Open) {
    // A buffer of the size received: a connection that trickles holds little.
    Buffer* buffer = newReadBuffer(n);
    std::memcpy(buffer->begin(), scratch, n);
    buffer->end = buffer->start + static_cast<uint32_t>(n);
    onData(buffer);
    return 0;
  }
  // Lingering: what the peer still sends is dropped; a peer that does not stop is cut off.
  discarded_ += n;
  if (discarded_ >= kDiscardLimit) setState(ChannelState::Closed);
  return 0;
}

void ClientChannel::onWrite() {
  Buffer* b = current();
  if (!b) return;
  const size_t remaining = b->size();
  platform::NetResult r = platform::socketSend(handle(), b->begin(), remaining);
  if (!r.ok()) {
    if (r.error == platform::kNetConnReset) {
      setState(ChannelState::Closed);  // the peer went away: not an error
      return;
    }
    if (r.error == platform::kNetWouldBlock) return;  // the room was taken back; try later
  }
  if (!r.ok() || r.value < 1) {
    throw SocketException(format("::send(handle=%d,b->size()=%zu)", handle(), remaining), r.error);
  }
  const size_t n = static_cast<size_t>(r.value);
  b->start += static_cast<uint32_t>(n);
  queued_ -= n < queued_ ? n : queued_;
  onSent(n);
}

void ServerChannel::refuseForLackOfResources(SocketHandle listening, int error) {
  const bool shed = platform::socketShedPending(listening);
  const uint64_t now = platform::systemClock().nowMs();
  ++refused_;
  if (lastRefusalLogMs_ != 0 && now - lastRefusalLogMs_ < kRefusalLogIntervalMs) return;
  lastRefusalLogMs_ = now;
  log(LOG_ERR, SocketException(format("accept(handle=%d)", listening), error).text() +
                   (shed ? "; connection refused" : "; connection left waiting") +
                   format(" (refused so far: %llu)", static_cast<unsigned long long>(refused_)));
}

int ServerChannel::onRead(ChannelDispatcher& dispatcher) {
  const SocketHandle listening = handle();
  for (size_t accepted = 0; accepted < kAcceptBatch; ++accepted) {
    platform::NetResult r = platform::socketAccept(listening, nullptr, true);
    if (!r.ok()) {
      switch (r.error) {
        case platform::kNetWouldBlock:  // nobody waits (or the client took it back)
          return 0;
        case platform::kNetConnAborted:  // the client gave up while it waited in the backlog
        case platform::kNetConnReset:
          continue;
        case platform::kNetTooManyHandles:
        case platform::kNetNoBuffers:
          // Out of descriptors or memory for now: refuse the waiting client and keep listening.
          // (Letting the failure end the listener would leave the manager deaf until a restart.)
          refuseForLackOfResources(listening, r.error);
          return 0;
        default:
          throw SocketException(format("accept(handle=%d)", listening), r.error);
      }
    }
    // Accepted non-blocking: the dispatcher never waits on a connection.
    const SocketHandle h = static_cast<SocketHandle>(r.value);
    Channel* channel = createChannel(h);
    if (!channel) continue;
    try {
      dispatcher.add(channel);
    } catch (const SocketException& e) {
      log(LOG_ERR, e.text());  // the channel is gone with its connection; the listener goes on
    }
  }
  return 0;
}

}  // namespace adt
