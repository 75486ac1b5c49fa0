// One binary-protocol client connection: the greeting, the signature and version handshake,
// the login slot, one command per connection dispatched through the command table, the error
// replies and the inactivity limit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adt/channel.h"
#include "adt/nio_tagged_reader.h"
#include "adt/socket.h"
#include "adt/state_info.h"
#include "adt/tagged_writer.h"
#include "clients/command_table.h"

namespace clients {

class ClientHost;
class Request;
class RqLogin;

// Created by the client listener for each accepted socket and owned by the dispatcher, which
// destroys it once the connection is closed. Owns its pending request and pending login.
// Main thread only.
class Client final : public adt::ClientChannel, public adt::StateInfo {
 public:
  static constexpr const char* kClassName = "Client";

  // The protocol version a client must announce, and the manager's client revision.
  static constexpr int32_t kProtocolVersion = 10;
  static constexpr int32_t kRevision = 4;
  // Silence longer than this drops the connection...
  static constexpr uint64_t kIdleLimitMs = 60000;
  // ...unless a pending request holds it, for at most this long.
  static constexpr uint64_t kHeldIdleLimitMs = 120000;
  // The largest element value accepted before and after a login. Larger announcements end
  // the connection at once rather than make it buffer what a peer promises.
  static constexpr uint32_t kMaxElementBeforeLogin = 1u << 20;
  static constexpr uint32_t kMaxElement = 64u << 20;

  // Takes over `handle` at once (it is closed when the constructor throws), then sends the
  // greeting: stream signature, element 7 = the protocol version, element 78 = the revision.
  Client(ClientHost& host, adt::SocketHandle handle);
  // Destroys the pending request, then the pending login, and closes the socket.
  ~Client() override;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  adt::SocketHandle handle() const override { return socket_.handle(); }
  // Runs tick() while the connection is open and silent.
  void onIdle() override { tick(); }

  // Queues the writer's bytes as one block for sending.
  void send(adt::MemoryTaggedWriter& writer);
  // Returns when logged in with a level of at least `level`; otherwise throws
  // ClientException "Привилегий недостаточно" (0x1002). Not logged in fails every level.
  void checkPrivilege(int32_t level) const;
  // Makes `request` the pending request and runs tick() once, so that a request finished in
  // its constructor closes the connection at once.
  void startRequest(std::unique_ptr<Request> request);
  // Runs a handler command; the connection then closes (gracefully) unless it is closing
  // already.
  void runHandler(const CommandHandler& handler, adt::NioTag& element);
  // The peer's dotted IPv4 address, looked up on first use.
  const adt::String& peerAddress() const;
  // Logs an error about this client at level 2 and records "clientError" in the trace.
  void clientError(const adt::String& text);
  // "client(<number>,ip:<address>,s:<protocol state>,bs:<queued output>,it:<idle ms>)",
  // then the pending login's and the pending request's descriptions.
  void describe(adt::String& out) const override;
  // Completion and inactivity checks: finishes the connection when the pending request's
  // poll() says it is done; drops it after kIdleLimitMs of silence, or kHeldIdleLimitMs when
  // the pending request holds it.
  void tick();

  // A successful login: the connection now acts as `name` with `level`.
  void setLoggedIn(const adt::String& name, int32_t level);

  ClientHost& host() const { return host_; }
  uint32_t number() const { return number_; }
  int protocolState() const { return protocolState_; }
  bool loggedIn() const { return loggedIn_; }
  int32_t privilegeLevel() const { return level_; }
  // The name of the logged-in user (meaningful while loggedIn()).
  const adt::String& userName() const { return userName_; }
  int32_t clientRevision() const { return clientRevision_; }
  size_t queuedOutput() const { return queuedOutput_; }
  uint64_t receivedBytes() const { return receivedBytes_; }

 protected:
  void onData(adt::Buffer* block) override;
  void onSent(size_t n) override;

 private:
  // Parses and executes the complete elements received, while the connection is open.
  void processInput();
  // One element in the current protocol state, inside the error guard.
  void executeRequest(adt::NioTag& element);
  void executeUnguarded(adt::NioTag& element);
  void dispatchCommand(adt::NioTag& element);
  // Throws "Сервер заблокирован с другого IP" for an administering command from an address
  // other than the one that locked the manager.
  void checkManagerLock(const Command& command) const;
  static constexpr uint8_t kTagManagerLock = 67;
  // The login has answered: keeps its client revision and releases it.
  void finishLogin();
  // Runs `step`; an exception is logged and, while the connection is open, answered with the
  // error reply, after which the connection closes.
  template <typename Step>
  void guarded(Step&& step);
  // The error reply: element 101 = `code` (when given), element 13 = `text`; then closing.
  void replyError(const int32_t* code, const adt::String& text);

  ClientHost& host_;
  adt::Socket socket_;
  const uint32_t number_;
  size_t queuedOutput_ = 0;
  uint64_t lastActivity_;
  uint64_t receivedBytes_ = 0;
  mutable adt::String peerAddress_;
  int protocolState_ = 0;  // 0 signature expected, 1 version expected, 2 open
  std::unique_ptr<Request> request_;
  std::unique_ptr<RqLogin> login_;
  bool loggedIn_ = false;
  int32_t level_ = 0;
  adt::String userName_;
  int32_t clientRevision_ = 0;
  AMTaggedReader input_;
};

}  // namespace clients
