// IPv4 sockets. Thin translation of the system's socket calls: no time-outs, retries or
// messages are decided here. Every call reports failure by its result carrying a
// Winsock-numbered error code (10054 connection reset, 10061 refused, 10060 timed out, ...), so
// the socket error texts above this layer stay the same on every platform. A system code with
// no Winsock counterpart is passed on unchanged; it lies below every Winsock number, so it
// reads as an unknown socket error.
//
// Calls interrupted by a signal are resumed here: callers never see an interruption that the
// other platform would not produce. Sending never raises a broken-pipe signal.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;

// Error codes the code above tests for by number.
constexpr int kNetWouldBlock = 10035;
constexpr int kNetConnAborted = 10053;
constexpr int kNetTooManyHandles = 10024;  // the process (or the system) has no descriptor left
constexpr int kNetNoBuffers = 10055;
constexpr int kNetConnReset = 10054;
constexpr int kNetNotConnected = 10057;
constexpr int kNetInvalidArgument = 10022;
constexpr int kNetTimedOut = 10060;
constexpr int kNetHostNotFound = 11001;

// Outcome of a call that yields a value: on success `error` is 0 and `value` holds the result
// (a byte count, a handle, a number of ready handles); on failure `error` is the code.
struct NetResult {
  int64_t value = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// IPv4 endpoint: address in network byte order, port in host order.
struct Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

enum SocketType { kTcp = 0, kUdp = 1 };

// Socket options. kLinger: seconds to linger on close, 0 resets the connection on close,
// negative turns lingering off. Buffer sizes are in bytes.
enum SocketOption { kReuseAddress, kBroadcast, kLinger, kSendBuffer, kReceiveBuffer };

// Directions for socketShutdown, numbered as the Winsock SD_ values.
enum ShutdownHow { kShutReceive = 0, kShutSend = 1, kShutBoth = 2 };

// One gathered piece for socketSendGather.
struct IoSlice {
  const void* data;
  size_t size;
};

// One handle for socketPoll: the interest going in, the readiness coming out. A handle with
// an error or hang-up pending reports readable (and writable when asked), so that the next
// receive or send on it reports what happened; an invalid handle reports the same way.
// Negative handles are skipped and report nothing.
struct PollEntry {
  SocketHandle handle = kNoSocket;
  bool wantRead = false;
  bool wantWrite = false;
  bool readable = false;
  bool writable = false;
};

// A new IPv4 socket of the type, not inherited by child processes. value = the handle.
NetResult socketCreate(SocketType type);
// Closes the handle (ignored when invalid). Returns an error code, 0 on success.
int socketClose(SocketHandle h);

// The functions returning int give 0 on success or the error code.
int socketSetOption(SocketHandle h, SocketOption option, int value);
int socketSetNonBlocking(SocketHandle h, bool on);
int socketBind(SocketHandle h, const Endpoint& local);
// The largest backlog the system accepts for listen.
int maxListenBacklog();
int socketListen(SocketHandle h, int backlog);
// value = the accepted connection's handle (not inherited by child processes; blocking mode,
// or non-blocking with `nonBlocking`). `peer` (may be null) receives the remote endpoint.
NetResult socketAccept(SocketHandle h, Endpoint* peer, bool nonBlocking = false);
// When accept failed for lack of descriptors: takes the oldest pending connection with the
// descriptor held in reserve for this (put aside by the first socketListen) and closes it at
// once, so that the client learns it was refused and the listener stops reporting it. True when
// one was shed; the reserve is taken again afterwards.
bool socketShedPending(SocketHandle listening);
// Connects; on a blocking socket it returns once the connection is made or has failed.
int socketConnect(SocketHandle h, const Endpoint& remote);
// value = bytes that a receive would return at once (for a datagram socket: the next datagram).
NetResult socketAvailable(SocketHandle h);
// value = bytes received; 0 means the peer closed its sending side (stream) or an empty
// datagram.
NetResult socketRecv(SocketHandle h, void* buffer, size_t length);
// value = bytes taken by the system (may be fewer than length on a non-blocking socket).
NetResult socketSend(SocketHandle h, const void* data, size_t length);
// One gathered send of the slices in order. value = bytes taken.
NetResult socketSendGather(SocketHandle h, const IoSlice* slices, size_t count);
NetResult socketSendTo(SocketHandle h, const void* data, size_t length, const Endpoint& to);
// `from` (may be null) receives the sender.
NetResult socketRecvFrom(SocketHandle h, void* buffer, size_t length, Endpoint* from);
// One datagram of a batch: the caller's buffer, and what came into it.
struct DatagramSlot {
  void* buffer = nullptr;
  size_t capacity = 0;
  size_t size = 0;  // bytes taken (a longer datagram is cut to the capacity)
  Endpoint from;
};
// Takes up to `count` datagrams that are waiting, without waiting: value is how many came. None
// waiting fails with kNetWouldBlock; an error after the first datagram is left for the next call.
// POSIX: one recvmmsg; Windows: one recvfrom after the other.
NetResult socketRecvBatch(SocketHandle h, DatagramSlot* slots, size_t count);
int socketPeerName(SocketHandle h, Endpoint* peer);
int socketLocalName(SocketHandle h, Endpoint* local);
// Shutting down a socket that has no connection (listening, unconnected datagram) fails with
// kNetNotConnected.
int socketShutdown(SocketHandle h, ShutdownHow how);

// Handing a listening socket to another process: the record sent to the agent over its link.
constexpr size_t kSocketRecordSize = 372;
// Fills `record` (kSocketRecordSize bytes) so that process `pid` can take `socket` over.
// POSIX: the child inherited the socket at its start as `inheritedHandle`
// (SpawnOptions::inheritedSockets); the record carries that number in its first four bytes,
// little-endian, and zeros elsewhere. Windows: the system's duplication record of `socket` for
// `pid` (nothing is inherited at the start there). Returns 0 or the error code.
int socketRecordFor(SocketHandle socket, uint32_t pid, int inheritedHandle, uint8_t* record);

// Waits until one of the entries is ready or timeoutMs passes (negative: no limit).
// value = the number of ready entries (0 on time-out).
NetResult socketPoll(PollEntry* entries, size_t count, int timeoutMs);
// Waits until h is readable (or has an error or hang-up pending). value = 1 ready, 0 time-out.
NetResult socketWaitReadable(SocketHandle h, int timeoutMs);

// Send errors of datagram sockets. On this system a datagram that reaches a closed port is
// reported back only to a socket that asks for it, and then through a queue of its own: the
// socket then polls readable (with an error pending) until the queue is emptied, so whoever
// enables this must take the queue on every read. A datagram that bounced off a closed port is
// reported as kNetConnReset, the code the other platform gives such a bounce.
//
// Enables the queue on `h`. Returns 0 or an error code.
int socketEnableSendErrors(SocketHandle h);
// Takes (and clears) the error pending on `h`; 0 when none. With send errors enabled, a bounce
// also leaves its error pending, and the socket's next send or receive would fail with it.
int socketTakeError(SocketHandle h);
// Takes one entry of the queue without waiting. value = 1 with `to` = the destination of the
// datagram that failed and `code` = its error; value = 0 when the queue is empty.
NetResult socketTakeSendError(SocketHandle h, Endpoint* to, int* code);

// Parses an IPv4 address in dotted form (each part decimal, octal with a leading 0 or hex with
// 0x, as the classic converter accepts). False when it is not one.
bool parseIPv4(const std::string& text, uint32_t* address);
// Looks the name up (IPv4 only) and takes the first address. Returns 0 or an error code
// (kNetHostNotFound when the name has no address).
int lookupIPv4(const std::string& host, uint32_t* address);

// Byte order helpers for the address and port values.
uint32_t hostToNet32(uint32_t v);
uint16_t hostToNet16(uint16_t v);
uint32_t netToHost32(uint32_t v);

}  // namespace platform
