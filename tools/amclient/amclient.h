// A blocking client of the manager's binary protocol: connect, read the greeting, send the
// signature and version, log in with the challenge-response proof, send a command element with
// its parameter elements, and read what the manager answers. One thread at a time.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "adt/exception.h"
#include "adt/socket.h"
#include "adt/text.h"

namespace amclient {

// The protocol's fixed numbers.
constexpr int32_t kProtocolVersion = 10;
constexpr uint8_t kTagErrorCode = 101;
constexpr uint8_t kTagErrorText = 13;

using Salt = std::array<uint8_t, 8>;
using Digest = std::array<uint8_t, 16>;

// MD5(name ":" salt ":" password), name and password hashed as Windows-1251 bytes.
Digest passwordHash(const adt::String& name, const Salt& salt, const adt::String& password);
// MD5(hash ":" challenge).
Digest loginProof(const Digest& hash, const Salt& challenge);

// One element as received.
struct Element {
  uint8_t tag = 0;
  adt::Bytes value;

  Element() = default;
  Element(uint8_t t, adt::Bytes v) : tag(t), value(std::move(v)) {}
  static Element integer(uint8_t tag, int32_t v);
  static Element text(uint8_t tag, const adt::String& utf8);  // sent as Windows-1251
  static Element bytes(uint8_t tag, const void* data, size_t n);

  // The value as a 32-bit integer; throws adt::Exception unless it holds exactly 4 bytes.
  int32_t asInt() const;
  // The value as text (Windows-1251, or the UTF-8 form), in UTF-8.
  adt::String asText() const;
};

// What the manager answered: its elements in order and, when it ended with the error reply,
// the code of element 101 (0 when absent) and the text of element 13.
struct Reply {
  std::vector<Element> elements;
  bool failed = false;
  int32_t errorCode = 0;
  adt::String errorText;
  bool closed = false;  // the manager closed the connection

  // The first element with `tag`, or null.
  const Element* find(uint8_t tag) const;
};

// An error reply where the conversation expected something else.
class ReplyError : public adt::Exception {
 public:
  ReplyError(int32_t code, const adt::String& text)
      : adt::Exception(code ? adt::format("%s [%d]", text.c_str(), code) : text),
        code_(code),
        reply_(text) {}
  int32_t code() const { return code_; }
  const adt::String& replyText() const { return reply_; }

 private:
  int32_t code_;
  adt::String reply_;
};

struct Greeting {
  int32_t version = 0;   // element 7
  int32_t revision = 0;  // element 78
};

struct LoginResult {
  bool ok = false;
  adt::String failureText;           // element 11 on failure
  Salt salt{};                       // element 22
  Salt challenge{};                  // element 24
  std::array<int32_t, 4> version{};  // element 83: major, minor, build, revision
};

class Connection {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 30000;

  // `timeoutMs` bounds every wait for the manager.
  explicit Connection(uint32_t timeoutMs = kDefaultTimeoutMs) : timeoutMs_(timeoutMs) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects (address in network byte order) without reading anything.
  void connect(uint32_t address, uint16_t port);
  void connect(const adt::String& host, uint16_t port);
  // Connects from the local address `localAddress` (network byte order, any port): a client
  // that shows the manager another source address on the loopback.
  void connectFrom(uint32_t localAddress, uint32_t address, uint16_t port);
  // Reads the greeting: the stream signature, element 7 and element 78.
  Greeting readGreeting();
  // Sends the stream signature and element 7 = `version`.
  void sendHandshake(int32_t version = kProtocolVersion);
  // connect + readGreeting + sendHandshake.
  Greeting open(uint32_t address, uint16_t port);

  // The whole login: element 64 with the name, the salt and challenge, optionally element 78
  // with `revision`, element 20 with the name and element 21 with the proof; then element 10
  // (ok) or 11 (failure text). An error reply throws ReplyError.
  LoginResult login(const adt::String& name, const adt::String& password,
                    std::optional<int32_t> revision = std::nullopt);

  void send(const Element& element);
  // A command element with its value, then its parameter elements, as one write.
  void sendCommand(uint8_t tag, const adt::Bytes& value, const std::vector<Element>& params = {});
  // Bytes as they are.
  void sendRaw(const void* data, size_t n);

  // The next element, or none when the manager closed the connection. Throws
  // adt::IOException when nothing arrives within the time-out.
  std::optional<Element> readElement();
  // Elements up to and including the first one with `tag`; stops early at the error reply
  // (element 13, after an optional 101) or when the manager closes the connection.
  Reply readUntil(uint8_t tag);
  // Elements until the manager closes the connection; a final element 13 (after an optional
  // 101) is taken as the error reply.
  Reply readUntilClosed();
  // True when the manager closed the connection within the time-out (anything it sends
  // before is read and dropped).
  bool waitClosed();

  adt::Socket& socket() { return socket_; }
  void close() { socket_.close(); }

 private:
  // n bytes into dst; false when the connection ended before the first of them.
  bool readBytes(void* dst, size_t n);
  // Fills the buffer with what arrives within the time-out; false when the peer closed.
  bool fill();

  adt::Socket socket_;
  uint32_t timeoutMs_;
  adt::Bytes buffer_;
  size_t offset_ = 0;
};

}  // namespace amclient
