// One web connection on the manager's http_port: reads the request line, answers with the
// page, the JSON list of agents, an icon file or an embedded image, and closes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "adt/channel.h"
#include "adt/socket.h"
#include "adt/state_info.h"
#include "web/web_host.h"

namespace web {

// Created by the web listener for each accepted socket and owned by the dispatcher, which
// destroys it once the connection is closed. One request per connection: only the request line
// is read (headers and body are ignored), the response is queued whole, then the connection
// closes; the body ends where the connection does (no Content-Length).
//
// Bounds, so that idle or slow browsers cost little and never hold the main thread: a request
// line longer than kMaxRequestLine is answered with 414; a request line not complete within
// kRequestLimitMs of the connection is dropped without an answer; once the answer is queued, a
// peer that neither takes it nor closes is dropped after kIdleLimitMs without progress.
// Main thread only.
class HttpAMClient final : public adt::ClientChannel, public adt::StateInfo {
 public:
  static constexpr const char* kClassName = "HttpAMClient";

  static constexpr size_t kMaxRequestLine = 8192;     // bytes before the LF
  // An icon file is read whole into memory: larger ones are not served.
  static constexpr uint64_t kMaxIconBytes = 4u << 20;
  static constexpr uint64_t kRequestLimitMs = 30000;  // accept to complete request line
  static constexpr uint64_t kIdleLimitMs = 30000;     // answer queued: no byte sent this long

  // Takes over `handle` at once. Does not throw (beyond running out of memory), so that a
  // listener creating it never fails because of one connection.
  HttpAMClient(WebHost& host, adt::SocketHandle handle);
  ~HttpAMClient() override;
  HttpAMClient(const HttpAMClient&) = delete;
  HttpAMClient& operator=(const HttpAMClient&) = delete;

  adt::SocketHandle handle() const override { return socket_.handle(); }
  // Drops the connection when its time is up (see the class comment).
  void onIdle() override;
  // The dispatcher asks this of every registered channel in every step, whatever its state, so
  // it also enforces the time limit of a connection that is closing (onIdle only runs while
  // Open).
  bool wantsWrite() override;
  // "HttpAMClient".
  void describe(adt::String& out) const override;

 protected:
  void onData(adt::Buffer* block) override;
  void onSent(size_t n) override;

 private:
  // Makes the connection Closed when its time limit has passed; true then.
  bool checkTime();
  // Answers the complete request line (without its LF) and starts closing.
  void handleLine(std::string_view line);
  void answer(std::string_view line);
  void serveList(std::string_view rest);
  // Only for clients the manager's ip_mask / ban_mask admit; others get 403.
  void serveMetrics();
  void serveIcon(const adt::String& path);
  void serveResource(std::string_view path);
  // The status line alone: "HTTP/1.1 <code> <text>" CR LF.
  void sendStatus(int code, const char* text);
  // The success headers (with Content-Type when `contentType` is given), the empty line and
  // the body.
  void sendSuccess(std::string_view body, const char* contentType);
  // The peer's IPv4 address, first octet in the most significant byte; false when the peer
  // is gone.
  bool peerAddress(uint32_t& address) const;

  WebHost& host_;
  adt::Socket socket_;
  const uint64_t acceptedAt_;
  uint64_t lastProgress_ = 0;  // set when the answer is queued, moved on by each send
  bool answered_ = false;
  adt::String line_;
};

// The request path with its %XX escapes decoded. Escapes that are malformed or would give a
// NUL byte stay as they are written.
adt::String decodePath(std::string_view path);

}  // namespace web
