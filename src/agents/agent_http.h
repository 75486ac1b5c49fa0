// The manager's listeners on an agent's own HTTP and HTTPS ports. While the agent is stopped the
// manager holds the listening socket, so that a browser can reach an agent that is not running:
// a connection waiting in the backlog starts the agent, and the agent, which inherits the
// socket, accepts that very connection once it is up. The manager never accepts for a running
// agent; it accepts only to answer the waiting connections with the stop reason after the agent
// has stopped (or failed to start).
#pragma once
#include <cstddef>
#include <cstdint>

#include "adt/channel.h"
#include "adt/dispatcher.h"
#include "adt/socket.h"
#include "adt/state_info.h"
#include "adt/text.h"
#include "agents/agent_host.h"
#include "platform/clock.h"

namespace agents {

class Agent;

// One listening socket on an agent's http_port (or https_port).
//
// Ownership: the dispatcher owns the channel while it is polled. While it is set aside (the
// agent process exists and owns the accepting) nobody but the agent record refers to it: the
// agent's close() destroys it at once then, and resume() hands it back to the dispatcher. The
// agent keeps a plain pointer in httpListener[0] (HTTP) or [1] (HTTPS), cleared by the
// destructor. Main thread only.
class AgentHttp final : public adt::Channel, public AgentHttpSlot, public adt::StateInfo {
 public:
  // The listen queue: a few browsers wait there for the agent to come up.
  static constexpr int kBacklog = 4;
  // Connections answered by one answerAll at most, so that browsers arriving without pause
  // cannot keep the main thread in it; later ones are new requests for the polled listener.
  static constexpr size_t kMaxAnswers = 64;

  // Opens the socket (address reuse, all local addresses, `port`, listening), registers the
  // channel with `dispatcher` and logs "http.open(<port>)[<socket>]: "<agent name>"" (or
  // "https.open..."). Throws adt::SocketException when the port cannot be had; nothing is
  // registered then.
  static AgentHttp* open(Agent& agent, uint16_t port, bool secure,
                         adt::ChannelDispatcher& dispatcher);

  // Logs "http.close[<socket>]" (or "https.close[...]"), clears the agent's pointer when it
  // still points here and closes the socket.
  ~AgentHttp() override;
  AgentHttp(const AgentHttp&) = delete;
  AgentHttp& operator=(const AgentHttp&) = delete;

  // adt::Channel
  adt::SocketHandle handle() const override { return socket_.handle(); }
  // A connection waits in the backlog: httpConnect().
  int onRead(adt::ChannelDispatcher& dispatcher) override;
  void onWrite() override {}
  bool wantsWrite() override { return false; }

  // Starts the stopped agent ("http") and leaves the connection in the backlog. Returns 0 while
  // the start waits for its process (the channel stays polled), 1 once the process exists: the
  // channel is then set aside and no longer polled. When the manager is stopping, no agent is
  // started and the channel is set aside as well (the backlog dies with the manager). A failure
  // is logged and the waiting connections are answered with its text.
  int httpConnect();

  // AgentHttpSlot
  uint16_t port() const override { return port_; }
  int socketHandle() const override { return socket_.handle(); }
  // Accepts every connection waiting now (zero-time readiness test, never blocks; at most
  // kMaxAnswers) and gives each a connection channel that sends "HTTP/1.1 200 OK\nContent-Type:
  // text/plain\nCache-Control: no-cache\n\n" + text and closes. The first socket error is logged
  // (under "ServerChannel::accept" or "ServerChannel::nio") and ends the loop; the rest stay
  // waiting. The listening socket is left blocking.
  void answerAll(const adt::String& text) override;
  bool setAside() const override { return setAside_; }
  // Registers a set-aside channel with the dispatcher again; nothing otherwise.
  void resume() override;
  // Lets go of the agent; destroys the channel at once when set aside, otherwise marks it
  // Closed for the dispatcher to destroy.
  void close() override;

  // "AgentHttp(<port>)[<socket>]" or "AgentHttps(...)[...]", then ": <agent name>" while the
  // agent exists.
  void describe(adt::String& out) const override;

  bool secure() const { return secure_; }

 private:
  AgentHttp(Agent& agent, uint16_t port, bool secure, adt::ChannelDispatcher& dispatcher);
  const char* scheme() const { return secure_ ? "https" : "http"; }

  Agent* agent_;
  adt::ChannelDispatcher& dispatcher_;
  platform::Clock& clock_;
  adt::Socket socket_;
  uint16_t port_;
  bool secure_;
  bool setAside_ = false;
};

// One browser connection answered by the manager on an agent's port: sends its response,
// shuts its sending side and ends when the peer closes. What the browser sends is read and
// dropped. A peer that neither takes the response nor closes is dropped kLimitMs after the
// accept, so idle browsers cost one socket for a bounded time and never hold the main thread.
// Owned by the dispatcher. Main thread only.
class AgentHttpAnswer final : public adt::ClientChannel, public adt::StateInfo {
 public:
  static constexpr uint64_t kLimitMs = 30000;

  // Takes over `handle` (connected, non-blocking) at once and queues `response`.
  AgentHttpAnswer(adt::SocketHandle handle, const adt::String& response, platform::Clock& clock);

  adt::SocketHandle handle() const override { return socket_.handle(); }
  // Asked in every step whatever the state, so it also ends a connection whose time is up while
  // it is closing (onIdle only runs while Open).
  bool wantsWrite() override;
  // "AgentHttpAnswer[<socket>](<state>)".
  void describe(adt::String& out) const override;

 private:
  adt::Socket socket_;
  platform::Clock& clock_;
  uint64_t acceptedAt_;
};

}  // namespace agents
