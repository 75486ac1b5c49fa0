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

class Channel : public Queue<Channel>::Item {
 public:
  Channel() = default;
  virtual ~Channel() = default;

  // The channel's socket; the concrete channel owns it.
  virtual SocketHandle handle() const = 0;
  // The socket is readable. Returning 1 means the channel has taken itself out of the
  // dispatcher: it is neither queued again nor destroyed (its owner takes it back). Any other
  // value lets the dispatcher go on.
  virtual int onRead(ChannelDispatcher& dispatcher) = 0;
  // The socket is writable (called only while wantsWrite() said so).
  virtual void onWrite() = 0;
  // Called in every dispatcher step in which the socket was not readable, while Open. Channels
  // run their time-outs here.
  virtual void onIdle() {}
  // Whether the dispatcher is to watch the socket for writability.
  virtual bool wantsWrite() = 0;
  // Ends the conversation. Here: Closed, destroyed at the end of the dispatcher's next step
  // (a listener has nothing to drain). Connections drain their output first.
  virtual void close() { setState(ChannelState::Closed); }

  ChannelState state() const { return state_; }
  // Moves the state forward; a request to go back is ignored.
  void setState(ChannelState s) {
    if (s > state_) state_ = s;
  }

  // When the dispatcher first saw the channel closing (monotonic ms; 0: not yet).
  uint64_t closingSince() const { return closingSince_; }
  void setClosingSince(uint64_t ms) { closingSince_ = ms; }

 private:
  ChannelState state_ = ChannelState::Open;
  uint64_t closingSince_ = 0;
};

// A connected stream socket with a send queue. Received bytes arrive in fresh buffers whose
// ownership passes to onData (nothing is copied); buffers given to send() are written straight
// from their own memory, in order, while the dispatcher reports the socket writable.
class ClientChannel : public Channel {
 public:
  // Bytes a peer may still send after closing began before the connection is cut.
  static constexpr size_t kDiscardLimit = 16384;

  ClientChannel() = default;
  // Destroys the buffer being sent and every queued one.
  ~ClientChannel() override;

  // Queues a buffer for sending; ownership passes. No limit on the queue. Once the sending
  // side is shut down (HalfClosed or Closed) nothing can go out and the buffer is destroyed.
  void send(Buffer* buffer);
  // Closing: what is queued still goes out, then the sending side is shut down and the channel
  // ends when the peer closes. Only an Open channel changes. Setting Closed instead drops the
  // connection at the end of the step without sending what is queued.
  void close() override;

  // Receives once into a buffer from newReadBuffer(). A peer's orderly close or a reset makes
  // the channel Closed; other receive errors throw. Data arriving after closing began is
  // discarded, and once kDiscardLimit bytes have been discarded the channel is Closed.
  // Returns 0.
  int onRead(ChannelDispatcher& dispatcher) override;
  // Sends once from the buffer at the head of the queue; a reset by the peer makes the channel
  // Closed, other send errors throw.
  void onWrite() override;
  // Whether a buffer with bytes still to send exists (finished buffers are destroyed here).
  bool wantsWrite() override;

  // Bytes received and dropped since closing began.
  size_t discardedBytes() const { return discarded_; }

 protected:
  // A fresh receive buffer for one recv; the default is a new FixedBuffer<65536>.
  virtual Buffer* newReadBuffer();
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
  size_t discarded_ = 0;
};

// A listening stream socket. Each readable step accepts one connection, makes it non-blocking
// and registers the channel that createChannel builds for it. The listening socket itself is
// best non-blocking too, so that a connection withdrawn between readiness and accept does not
// stall the dispatcher.
class ServerChannel : public Channel {
 public:
  // Accepts one connection. A connection that vanished before it was accepted is no error.
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
