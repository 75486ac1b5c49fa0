// The socket wrapper used by every channel and by the few blocking conversations.
#pragma once
#include <cstddef>
#include <cstdint>

#include "adt/stream.h"
#include "adt/text.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace adt {

using SocketHandle = platform::SocketHandle;
constexpr SocketHandle kInvalidSocket = platform::kNoSocket;

// An IPv4 endpoint: address in network byte order, port in host order.
struct SocketAddress {
  uint32_t address = 0;
  uint16_t port = 0;

  // The form used in socket error texts: "{family:2,addr:<address as one unsigned number>,
  // port:<port>}".
  String text() const;
  bool operator==(const SocketAddress&) const = default;
};

// Owns one socket handle (or none) and closes it when destroyed. Every failing operation
// throws adt::SocketException whose text starts with the call and its arguments, e.g.
// "recv(handle=12,len=100) Connection reset by peer". Blocking operations call the calling
// thread's checkpoint while they wait, so a stop request ends a long network wait.
// Not thread-safe: one thread uses a socket at a time.
class Socket {
 public:
  enum Kind { STREAM = 0, DATAGRAM = 1, BROADCAST = 2 };
  enum How { RECEIVE = 0, SEND = 1, BOTH = 2 };

  static constexpr uint32_t kConnectRetryMs = 10000;    // connect retries time-outs this long
  static constexpr size_t kSendPiece = 32768;           // blocking sends go out in such pieces
  static constexpr size_t kGatherGroup = 16;            // chunks per gathered send
  static constexpr uint64_t kSlowSendMs = 500;          // sends this slow are logged
  static constexpr uint32_t kWaitSliceMs = 500;         // readiness waits are cut into slices
  static constexpr uint32_t kLongWaitMs = 10000;        // waits longer than this are logged once
  static constexpr uint32_t kDefaultTimeoutMs = 60000;  // recv's default wait for input

  // `clock` times the retries and slow sends; it must outlive the socket.
  explicit Socket(platform::Clock& clock = platform::systemClock());
  // Takes over `handle` at once.
  explicit Socket(SocketHandle handle, platform::Clock& clock = platform::systemClock());
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  SocketHandle handle() const { return handle_; }
  bool valid() const { return handle_ != kInvalidSocket; }
  // Gives the handle up without closing it.
  SocketHandle release();

  // Creates a socket of the kind (closing one already held); BROADCAST is a datagram socket
  // allowed to send to broadcast addresses.
  void create(int kind);
  // Takes over an existing handle, closing one already held.
  void attach(SocketHandle handle);
  // Closes the handle (if any); close errors are not reported.
  void close();

  void setReuseAddress();
  // Non-blocking mode: calls that would wait fail with code 10035 instead.
  void setNonBlocking(bool on);
  // recv's wait for input; also what a caller of recv should expect a 0 to mean.
  void setTimeout(uint32_t ms) { timeoutMs_ = ms; }
  uint32_t timeout() const { return timeoutMs_; }

  void bind(uint32_t address, uint16_t port);
  // Binds to every local address.
  void bind(uint16_t port);
  // The largest backlog the system allows.
  static int maxBacklog();
  void listen(int backlog);
  // Accepts one waiting connection; the new handle (blocking mode) belongs to the caller.
  SocketHandle accept(SocketAddress* peer = nullptr);

  // Connects, trying again while the attempt times out and at most kConnectRetryMs have
  // passed since the first attempt.
  void connect(uint32_t address, uint16_t port);
  // resolve(host), then connect.
  void connect(const String& host, uint16_t port);

  // Bytes that can be read at once.
  uint32_t available();
  // Waits up to timeoutMs for input (or a pending error); true when there is some.
  bool waitReadable(uint32_t timeoutMs);
  // True at once when bytes are waiting, otherwise waitReadable(timeoutMs).
  bool hasInput(uint32_t timeoutMs);
  // Receives up to len bytes. When nothing is waiting it first waits timeout() for input and
  // returns 0 if none came; 0 is also the peer's orderly close.
  int recv(void* buffer, size_t len);

  // Blocking send of all n bytes in pieces of kSendPiece.
  void sendAll(const void* data, size_t n);
  // Blocking send of the chunks in order, gathered in groups of up to kGatherGroup.
  void sendAll(const Chunk* chunks, size_t count);

  // One datagram; returns the bytes sent.
  int sendTo(const void* data, size_t len, const SocketAddress& to);
  // One datagram into buffer; `from` (may be null) gets the sender. Returns the bytes received.
  int recvFrom(void* buffer, size_t len, SocketAddress* from);

  SocketAddress peerAddress();
  // The local port the socket is bound to (after bind to port 0: the one the system chose).
  uint16_t localPort();
  // how: RECEIVE, SEND or BOTH.
  void shutdown(int how);

  // A host of digits and exactly three dots is taken as an address without a lookup; anything
  // else is looked up and the first address taken. Throws HostNotFoundSocketException when
  // there is no address (also for a dotted quad that is not a valid address).
  static uint32_t resolve(const String& host);
  // Whether resolve takes `host` as an address without a lookup.
  static bool isDottedQuad(const String& host);

 private:
  void sendGroup(const platform::IoSlice* slices, size_t count, size_t bytes);

  SocketHandle handle_ = kInvalidSocket;
  platform::Clock& clock_;
  uint32_t timeoutMs_ = kDefaultTimeoutMs;
};

}  // namespace adt
