// The base of every client request: one command of a binary-protocol client in progress.
#pragma once
#include <cstdint>

#include "adt/nio_tagged_reader.h"
#include "adt/state_info.h"

namespace clients {

class Client;

// A request is made from its command element and is owned by its Client, which destroys it
// with the connection (or, for the login, when it finishes). It reaches the client through
// client() for sending replies and checking privileges. Main thread only.
class Request : public adt::StateInfo {
 public:
  explicit Request(Client& client) : client_(client) {}
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  virtual ~Request() = default;

  // Appends the request's short description ("RqLogin(1)").
  void describe(adt::String& out) const override = 0;

  // Takes one follow-up element that the client sent while the request is pending; the whole
  // value has arrived, and what is left unread of it is skipped afterwards. Returns true when
  // the request is finished. Failures are exceptions; they end the connection with an error
  // reply.
  virtual bool onMessage(adt::NioTag& element);
  // Advances asynchronous work; true when the request is finished.
  virtual bool poll();
  // Whether the request, at clock value `nowMs`, legitimately keeps an otherwise idle
  // connection open (up to the longer idle limit).
  virtual bool holdsConnection(uint64_t nowMs);

  Client& client() const { return client_; }

 private:
  Client& client_;
};

}  // namespace clients
