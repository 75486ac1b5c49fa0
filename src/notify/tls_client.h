// The client side of one TLS session over memory: the conversation feeds it what the server
// sent and sends what it produces, so the socket stays the dispatcher's and nothing blocks.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "adt/text.h"

namespace notify {

// One TLS client session (OpenSSL behind it, seen nowhere else). The server's certificate is
// checked against the trusted certificates and against the server's name (or address).
// Every failure throws adt::Exception with a text that says what went wrong.
// Thread: the conversation's (main) thread.
class TlsClient {
 public:
  // `serverName`: the host name or dotted quad the certificate must name. `caFile`: a PEM
  // file of trusted certificates; empty: the system's trust store.
  TlsClient(const adt::String& serverName, const adt::String& caFile);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Bytes received from the server.
  void feed(const char* data, size_t n);
  // Advances the handshake with what was fed; true once it is complete.
  bool handshake();
  // Queues plain bytes for the server (after the handshake).
  void write(const std::string& plain);
  // Appends the plain bytes available (at most `limit` in all of `out`).
  void read(std::string* out, size_t limit);
  // The bytes to send to the server, taken out.
  std::string takeOutput();
  // "TLSv1.3 TLS_AES_256_GCM_SHA384".
  adt::String description() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace notify
