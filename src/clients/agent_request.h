// What the client requests about one agent share: the parameter elements that name the agent
// (51 identifier, 54 name, 121 worker id), the agent lookup, the client's address, and the
// single outstanding request over the agent link with its answer.
#pragma once
#include <cstdint>

#include "adt/nio_tagged_reader.h"
#include "adt/socket.h"
#include "adt/tagged_writer.h"
#include "agents/agent.h"
#include "agents/agent_attach.h"
#include "clients/request.h"

namespace clients {

class Client;
class ClientHost;

// Tags of the parameter elements.
constexpr uint8_t kTagAgentId = 51;
constexpr uint8_t kTagAgentName = 54;
constexpr uint8_t kTagWorkerId = 121;
constexpr uint8_t kTagEnd = 9;
constexpr uint8_t kTagDone = 34;

// The configured agent with identifier `id` (exact) or, without one, the first with `name`;
// with a worker id other than 0 the member of its worker group with that id. Throws
// ClientException "Неизвестное имя агента "<id or name>"" (0x1010) when there is none.
agents::Agent& findAgent(ClientHost& host, const adt::String& id, const adt::String& name,
                         int32_t workerId);
// The same without throwing: null when there is none.
agents::Agent* lookupAgent(ClientHost& host, const adt::String& id, const adt::String& name,
                           int32_t workerId);
// True while `agent` is still one of the host's records (a record can be deleted while a
// request waits for it).
bool stillListed(ClientHost& host, const agents::Agent* agent);

// The worker kind shown to clients: 0 outside a worker group, 7 a heavy worker, 3 a worker of
// a group that has heavy workers, 1 any other worker.
int32_t workerKind(const agents::Agent& agent);

// The client's IPv4 address, first octet in the most significant byte (0 when unknown).
uint32_t clientAddress(const Client& client);
// The same as a socket address (network byte order, port 0), the form agent locks keep.
adt::SocketAddress clientSocketAddress(const Client& client);
// "запрос vevureroz(<address>)" for a logged-in client, "запрос клиента(<address>)" otherwise.
adt::String requestReason(const Client& client);

// A worker id element: 64-bit or 32-bit integer (a reader error for other sizes).
int32_t readWorkerId(adt::NioTag& element);

// A request that collects the agent parameters until element 9 and may send one request over
// the agent's link. Derived classes do their work in poll(). Main thread only.
class AgentRequest : public Request, public agents::AgentCallBack {
 public:
  // Stages: 0 collecting parameters, 1 parameters complete, 2 waiting for the agent's answer,
  // 3 answered, 4 finished.
  enum Stage { kCollecting = 0, kReady = 1, kWaiting = 2, kAnswered = 3, kFinished = 4 };

  // "<name>(<stage>)".
  void describe(adt::String& out) const override;
  // Elements 51, 54 and 121 fill the parameters; element 9 completes them (its value is left
  // for onEnd()). Anything else is a reader error unless onOther() takes it.
  bool onMessage(adt::NioTag& element) override;
  // The stored answer, stage kAnswered.
  void agentAnswer(const uint8_t* datagram, size_t size) override;

 protected:
  AgentRequest(Client& client, const char* name);

  // Element 9 arrived; its value is still unread.
  virtual void onEnd(adt::NioTag& element);
  // An element other than 51, 54, 121 and 9 while collecting; false when it is not one of the
  // request's (a reader error then follows).
  virtual bool onOther(adt::NioTag& element);

  agents::Agent& agent() { return findAgent(host(), id_, name_, workerId_); }
  ClientHost& host() const;

  // Sends one request over the agent's link and moves to kWaiting. Returns false (and does
  // nothing) when the link is busy with another request: try again on the next poll.
  // Precondition: the process has a link.
  bool sendToAgent(agents::AgentAttach& link, uint32_t code, uint32_t arg, const void* payload,
                   size_t length);
  // While waiting: true once the answer is in, or when the request lost its link (the agent went
  // away, or another request took the link over), in which case the stage is kFinished.
  bool answerOrGone();

  // Sends the writer's content (when any) and finishes.
  bool finishWith(adt::MemoryTaggedWriter& reply);

  const char* label_;  // the class name for describe()
  Stage stage_ = kCollecting;
  adt::String id_, name_;
  int32_t workerId_ = 0;
  adt::Bytes answer_;  // the answer's payload (after the datagram header)
};

}  // namespace clients
