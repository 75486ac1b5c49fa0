// The channel family: one object per socket driven by the ChannelDispatcher. A channel is
// created Open, may be asked to close (Closing: queued output still goes out, then the sending
// side is shut down: HalfClosed) and ends Closed, when the dispatcher destroys it. States only
// move forward; a channel never returns to Open.
//
// Ownership: a registered channel belongs to its dispatcher. Thread: the dispatcher's thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adt/buffer.h"
#include "adt/queue.h"
#include "adt/socket.h"

namespace adt {

class ChannelDispatcher;

enum class ChannelState : int32_t { Open = 0, Closing = 1, HalfClosed = 2, Closed = 3 };

// "Open", "Closing", "HalfClosed" or "Closed" (diagnostic lines and state dumps).
const char* channelStateText(ChannelState state);

class Channel {
 public:
  Channel() = default;
  virtual ~Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The channel's socket; the concrete channel owns it and keeps it for the channel's life.
  virtual SocketHandle handle() const = 0;
  // The socket is readable. Returning 1 means the channel has taken itself out of the
  // dispatcher: it is neither watched any more nor destroyed (its owner takes it back). Any
  // other value lets the dispatcher go on.
  virtual int onRead(ChannelDispatcher& dispatcher) = 0;
  // The socket is writable (called only while wantsWrite() said so).
  virtual void onWrite() = 0;
  // Called about every ten milliseconds (and at least every step that waited in vain) while
  // the channel is Open, in steps in which its socket was not readable. Channels run their
  // time-outs here.
  virtual void onIdle() {}
  // Whether the dispatcher is to watch the socket for writability.
  virtual bool wantsWrite() = 0;
  // Whether the dispatcher is to watch the socket for readability (false holds the peer back).
  virtual bool wantsRead() { return true; }
  // Limits that hold in every state, checked with onIdle's rhythm; `nowMs` is the dispatcher's
  // clock.
  virtual void checkLimits(uint64_t nowMs) { (void)nowMs; }
  // Ends the conversation. Here: Closed, destroyed at the end of the dispatcher's next step
  // (a listener has nothing to drain). Connections drain their output first.
  virtual void close() { setState(ChannelState::Closed); }

  ChannelState state() const { return state_; }
  // Moves the state forward; a request to go back is ignored.
  void setState(ChannelState s) {
    if (s > state_) {
      state_ = s;
      interestChanged();
    }
  }

  // When the dispatcher first saw the channel closing (monotonic ms; 0: not yet), and when it
  // first saw its sending side shut down.
  uint64_t closingSince() const { return closingSince_; }
  void setClosingSince(uint64_t ms) { closingSince_ = ms; }
  uint64_t halfClosedSince() const { return halfClosedSince_; }
  void setHalfClosedSince(uint64_t ms) { halfClosedSince_ = ms; }

 protected:
  // What wantsRead() or wantsWrite() answer may have changed outside this channel's own
  // handlers (output queued from elsewhere): the dispatcher looks again before its next wait.
  void interestChanged();

 private:
  friend class ChannelDispatcher;

  ChannelState state_ = ChannelState::Open;
  uint64_t closingSince_ = 0;
  uint64_t halfClosedSince_ = 0;
  // Kept by the dispatcher that holds the channel.
  ChannelDispatcher* dispatcher_ = nullptr;
  uint32_t slot_ = 0;
  uint32_t generation_ = 0;
  bool watchRead_ = false;
  bool watchWrite_ = false;
  bool touched_ = false;
  uint64_t readInStep_ = 0;
};

// A connected stream socket with a bounded send queue. Each receive copies the bytes received
// into a buffer of their own size, whose ownership passes to onData; buffers given to send()
// are written straight from their own memory, in order, while the socket is writable.
//
// Back-pressure: while more than kSendQueueLimit bytes wait to be sent, nothing is read from
// the peer (so it cannot make the manager produce more); a connection that stays over the
// limit for kSendStallLimitMs is dropped with one WARN line.
//
// Closing lingers: once the sending side is shut down, what the peer still sends is read and
// dropped for up to kLingerMs (and up to kDiscardLimit bytes), so that the last reply is not
// destroyed by a reset before the peer has read it.
class ClientChannel : public Channel {
 public:
  static constexpr size_t kSendQueueLimit = 8u << 20;
  static constexpr uint64_t kSendStallLimitMs = 60000;
  static constexpr uint64_t kLingerMs = 5000;
  static constexpr size_t kDiscardLimit = 64u << 20;

  ClientChannel() = default;
  // Destroys the buffer being sent and every queued one.
  ~ClientChannel() override;

  // Queues a buffer for sending; ownership passes. Once the sending side is shut down
  // (HalfClosed or Closed) nothing can go out and the buffer is destroyed.
  void send(Buffer* buffer);
  // Closing: what is queued still goes out, then the sending side is shut down and the channel
  // ends when the peer closes. Only an Open channel changes. Setting Closed instead drops the
  // connection at the end of the step without sending what is queued.
  void close() override;

  // Receives once. A peer's orderly close or a reset makes the channel Closed; other receive
  // errors throw. Data arriving after closing began is discarded (see the class comment).
  // Returns 0.
  int onRead(ChannelDispatcher& dispatcher) override;
  // Sends once from the buffer at the head of the queue; a reset by the peer makes the channel
  // Closed, other send errors throw.
  void onWrite() override;
  // Whether a buffer with bytes still to send exists (finished buffers are destroyed here).
  bool wantsWrite() override;
  // False while the send queue is over its limit (and the channel Open).
  bool wantsRead() override;
  // Drops a connection whose send queue stayed over the limit too long, and ends lingering.
  void checkLimits(uint64_t nowMs) override;

  // Bytes received and dropped since closing began.
  size_t discardedBytes() const { return discarded_; }
  // Bytes queued and not yet sent.
  size_t queuedBytes() const { return queued_; }

 protected:
  // A buffer holding a copy of n received bytes; the default is a DynamicBuffer of n bytes.
  virtual Buffer* newReadBuffer(size_t n);
  // Newly received bytes in [start, end); ownership of the buffer passes. Default: destroys it.
  virtual void onData(Buffer* buffer);
  // n bytes were just sent.
  virtual void onSent(size_t n);

 private:
  // Makes the head of the send queue current, destroying sent (and empty) buffers; the buffer
  // with bytes left to send, or null.
  Buffer* current();

  Queue<Buffer> sendQueue_;
  std::unique_ptr<Buffer> sending_;
  size_t queued_ = 0;
  uint64_t overLimitSince_ = 0;
  size_t discarded_ = 0;
};

// A listening stream socket. Each readable step accepts the waiting connections (at most
// kAcceptBatch), makes each non-blocking and registers the channel that createChannel builds. The
// listening socket itself is best non-blocking too, so that a connection withdrawn between
// readiness and accept does not stall the dispatcher.
class ServerChannel : public Channel {
 public:
  static constexpr size_t kAcceptBatch = 256;

  // Accepts the waiting connections. A connection that vanished before it was accepted is no error.
  // Returns 0: the listener stays registered.
  int onRead(ChannelDispatcher& dispatcher) override;
  void onWrite() override {}
  void onIdle() override {}
  bool wantsWrite() override { return false; }

  // Connections refused because the process lacked descriptors or memory to accept them.
  uint64_t refusedForLackOfResources() const { return refused_; }

 protected:
  // Builds the channel for an accepted, non-blocking connection. The handle belongs to this
  // call from the start, also when it throws (adopt it into a Socket first). Null refuses the
  // connection (the handle must then be closed by the implementation).
  virtual Channel* createChannel(SocketHandle handle) = 0;

 private:
  // One ERR line a minute at most while refusals go on.
  static constexpr uint64_t kRefusalLogIntervalMs = 60000;
  void refuseForLackOfResources(SocketHandle listening, int error);

  uint64_t refused_ = 0;
  uint64_t lastRefusalLogMs_ = 0;
};

}  // namespace adt
