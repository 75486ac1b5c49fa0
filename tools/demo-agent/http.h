// The demo agent's TCP services, served from its single poll loop: the web page on the HTTP
// listening sockets taken over from the manager, and the greeting for desktop clients on the
// client port. Each service owns its listening sockets and connections. Single-threaded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adt/socket.h"
#include "adt/text.h"
#include "platform/net.h"

namespace demo {

// Listening sockets plus the connections accepted from them, all non-blocking.
class TcpService {
 public:
  // At most this many connections at once; further ones wait in the backlog.
  static constexpr size_t kMaxConnections = 64;

  TcpService() = default;
  virtual ~TcpService() = default;
  TcpService(const TcpService&) = delete;
  TcpService& operator=(const TcpService&) = delete;

  // Takes ownership of a listening socket and makes it non-blocking.
  void addListener(platform::SocketHandle handle);
  bool hasListener(platform::SocketHandle handle) const;
  size_t listenerCount() const { return listeners_.size(); }
  // Connections still open.
  size_t connectionCount() const;

  // Forgets finished connections, then appends this service's poll entries; handle() takes
  // back the same entries, in order, before the next call.
  void addPollEntries(std::vector<platform::PollEntry>& entries);
  // Serves what the poll found ready and closes connections that have finished or whose time
  // ran out (`nowMs` on the monotonic clock).
  void handle(const platform::PollEntry* entries, uint64_t nowMs);

 protected:
  struct Connection {
    adt::Socket socket;
    uint32_t id = 0;
    std::string in;   // received and not yet consumed
    std::string out;  // to send
    size_t sent = 0;
    bool closeAfterSend = false;
    bool draining = false;  // our side is shut: read and drop until the peer closes
    bool dead = false;
    uint64_t deadlineMs = 0;  // 0: none
  };

  // A new connection: may set out (and closeAfterSend) and a deadline.
  virtual void onAccepted(Connection& c, uint64_t nowMs) = 0;
  // c.in has grown (or the peer closed, peerClosed true).
  virtual void onInput(Connection& c, bool peerClosed) = 0;

  std::vector<std::unique_ptr<Connection>> connections_;

 private:
  void accept(adt::Socket& listener, uint64_t nowMs);
  void read(Connection& c);
  void write(Connection& c, uint64_t nowMs);

  std::vector<std::unique_ptr<adt::Socket>> listeners_;
  uint32_t nextId_ = 0;
};

// Answers every HTTP request with one small HTML page, then closes the connection.
class HttpService final : public TcpService {
 public:
  // Requests larger than this are answered without reading the rest.
  static constexpr size_t kMaxRequest = 16384;
  static constexpr uint64_t kRequestTimeoutMs = 10000;

  // The page says "<name> is running" (name HTML-escaped) with the pid and version.
  HttpService(const adt::String& name, const adt::String& version, uint32_t pid);
  size_t answered() const { return answered_; }

 private:
  void onAccepted(Connection& c, uint64_t nowMs) override;
  void onInput(Connection& c, bool peerClosed) override;

  std::string response_;
  size_t answered_ = 0;
};

// Greets each desktop client with one line and keeps it connected until it leaves or is
// dropped by a kill request; what the client sends is read and discarded.
class ClientService final : public TcpService {
 public:
  explicit ClientService(const adt::String& name);
  // Listens on 127.0.0.1:port; throws adt::SocketException.
  void listen(uint16_t port);
  // Drops the client with this id (the number in its greeting); false when there is none.
  bool drop(uint32_t id);
  // Drops every client; returns how many.
  size_t dropAll();

 private:
  void onAccepted(Connection& c, uint64_t nowMs) override;
  void onInput(Connection& c, bool peerClosed) override;

  adt::String name_;
};

// The text with &, <, >, " and ' written as HTML entities.
adt::String htmlEscape(const adt::String& text);

}  // namespace demo
