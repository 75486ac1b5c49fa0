#include "amclient/amclient.h"

#include <memory>

#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "platform/digest.h"

namespace amclient {
namespace {

constexpr uint8_t kTagVersion = 7;
constexpr uint8_t kTagRevision = 78;
constexpr uint8_t kTagEnd = 9;
constexpr uint8_t kTagLoginOk = 10;
constexpr uint8_t kTagLoginFailed = 11;
constexpr uint8_t kTagUserName = 20;
constexpr uint8_t kTagProof = 21;
constexpr uint8_t kTagSalt = 22;
constexpr uint8_t kTagChallenge = 24;
constexpr uint8_t kTagLogin = 64;
constexpr uint8_t kTagManagerVersion = 83;
constexpr size_t kReadPiece = 65536;

Digest md5(const std::vector<std::pair<const void*, size_t>>& pieces) {
  std::vector<platform::DigestPiece> in;
  in.reserve(pieces.size());
  for (const auto& [data, n] : pieces) in.push_back({data, n});
  Digest out{};
  if (!platform::md5(in.data(), in.size(), out.data())) {
    throw adt::Exception("MD5 is not available");
  }
  return out;
}

template <size_t N>
std::array<uint8_t, N> exact(const Reply& reply, uint8_t tag) {
  const Element* e = reply.find(tag);
  std::array<uint8_t, N> out{};
  if (!e || e->value.size() != N) {
    throw adt::IOException(adt::format("amclient: element %d of %zu bytes expected", tag, N));
  }
  std::copy(e->value.begin(), e->value.end(), out.begin());
  return out;
}

// A reply that ends in the error elements: 13, optionally after 101.
bool takeError(Reply& reply) {
  if (reply.elements.empty() || reply.elements.back().tag != kTagErrorText) return false;
  reply.failed = true;
  reply.errorText = reply.elements.back().asText();
  reply.elements.pop_back();
  if (!reply.elements.empty() && reply.elements.back().tag == kTagErrorCode &&
      reply.elements.back().value.size() == 4) {
    reply.errorCode = reply.elements.back().asInt();
    reply.elements.pop_back();
  }
  return true;
}

}  // namespace

Digest passwordHash(const adt::String& name, const Salt& salt, const adt::String& password) {
  const std::string n = adt::toCp1251(name);
  const std::string p = adt::toCp1251(password);
  const char colon = ':';
  return md5({{n.data(), n.size()},
              {&colon, 1},
              {salt.data(), salt.size()},
              {&colon, 1},
              {p.data(), p.size()}});
}

Digest loginProof(const Digest& hash, const Salt& challenge) {
  const char colon = ':';
  return md5({{hash.data(), hash.size()}, {&colon, 1}, {challenge.data(), challenge.size()}});
}

Element Element::integer(uint8_t tag, int32_t v) {
  adt::Bytes value(4);
  adt::tagged::putLe32(value.data(), static_cast<uint32_t>(v));
  return Element(tag, std::move(value));
}

Element Element::text(uint8_t tag, const adt::String& utf8) {
  const std::string wire = adt::toCp1251(utf8);
  return Element(tag, adt::Bytes(wire.begin(), wire.end()));
}

Element Element::bytes(uint8_t tag, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  return Element(tag, adt::Bytes(p, p + n));
}

int32_t Element::asInt() const {
  if (value.size() != 4) {
    throw adt::Exception(
        adt::format("amclient: element %d holds %zu bytes, not 4", tag, value.size()));
  }
  return static_cast<int32_t>(adt::tagged::getLe32(value.data()));
}

adt::String Element::asText() const { return adt::tagged::decodeText(value.data(), value.size()); }

const Element* Reply::find(uint8_t tag) const {
  for (const Element& e : elements) {
    if (e.tag == tag) return &e;
  }
  return nullptr;
}

void Connection::connect(uint32_t address, uint16_t port) {
  socket_.create(adt::Socket::STREAM);
  socket_.connect(address, port);
  buffer_.clear();
  offset_ = 0;
}

void Connection::connectFrom(uint32_t localAddress, uint32_t address, uint16_t port) {
  socket_.create(adt::Socket::STREAM);
  socket_.bind(localAddress, 0);
  socket_.connect(address, port);
  buffer_.clear();
  offset_ = 0;
}

void Connection::connect(const adt::String& host, uint16_t port) {
  connect(adt::Socket::resolve(host), port);
}

Greeting Connection::readGreeting() {
  uint8_t signature[2 + adt::tagged::kSignatureSize];
  if (!readBytes(signature, sizeof signature) || signature[0] != adt::tagged::kSignatureTag ||
      signature[1] != adt::tagged::kSignatureSize ||
      !adt::tagged::signatureAccepted(signature + 2)) {
    throw adt::IOException("amclient: no stream signature from the manager");
  }
  Greeting g;
  std::optional<Element> version = readElement();
  std::optional<Element> revision = readElement();
  if (!version || version->tag != kTagVersion || !revision || revision->tag != kTagRevision) {
    throw adt::IOException("amclient: incomplete greeting");
  }
  g.version = version->asInt();
  g.revision = revision->asInt();
  return g;
}

void Connection::sendHandshake(int32_t version) {
  adt::MemoryTaggedWriter out;
  out.writeStreamSignature();
  out.writeInt(kTagVersion, version);
  sendRaw(out.data(), out.size());
}

Greeting Connection::open(uint32_t address, uint16_t port) {
  connect(address, port);
  Greeting g = readGreeting();
  sendHandshake();
  return g;
}

LoginResult Connection::login(const adt::String& name, const adt::String& password,
                              std::optional<int32_t> revision) {
  sendCommand(kTagLogin, Element::text(0, name).value);
  Reply challenge = readUntil(kTagEnd);
  if (challenge.failed) throw ReplyError(challenge.errorCode, challenge.errorText);
  if (challenge.closed) throw adt::IOException("amclient: connection closed during login");
  LoginResult result;
  result.salt = exact<8>(challenge, kTagSalt);
  result.challenge = exact<8>(challenge, kTagChallenge);
  const std::array<uint8_t, 16> version = exact<16>(challenge, kTagManagerVersion);
  for (size_t i = 0; i < 4; ++i) {
    result.version[i] = static_cast<int32_t>(adt::tagged::getLe32(version.data() + 4 * i));
  }

  const Digest proof = loginProof(passwordHash(name, result.salt, password), result.challenge);
  std::vector<Element> answer;
  if (revision) answer.push_back(Element::integer(kTagRevision, *revision));
  answer.push_back(Element::text(kTagUserName, name));
  answer.push_back(Element::bytes(kTagProof, proof.data(), proof.size()));
  adt::MemoryTaggedWriter out;
  for (const Element& e : answer) out.writeTag(e.tag, e.value.data(), e.value.size());
  sendRaw(out.data(), out.size());

  Reply verdict;
  for (;;) {
    std::optional<Element> e = readElement();
    if (!e) throw adt::IOException("amclient: connection closed during login");
    verdict.elements.push_back(std::move(*e));
    const uint8_t tag = verdict.elements.back().tag;
    if (tag == kTagLoginOk) {
      result.ok = true;
      return result;
    }
    if (tag == kTagLoginFailed) {
      result.failureText = verdict.elements.back().asText();
      return result;
    }
    if (takeError(verdict)) throw ReplyError(verdict.errorCode, verdict.errorText);
  }
}

void Connection::send(const Element& element) {
  adt::MemoryTaggedWriter out;
  out.writeTag(element.tag, element.value.data(), element.value.size());
  sendRaw(out.data(), out.size());
}

void Connection::sendCommand(uint8_t tag, const adt::Bytes& value,
                             const std::vector<Element>& params) {
  adt::MemoryTaggedWriter out;
  out.writeTag(tag, value.data(), value.size());
  for (const Element& e : params) out.writeTag(e.tag, e.value.data(), e.value.size());
  sendRaw(out.data(), out.size());
}

void Connection::sendRaw(const void* data, size_t n) { socket_.sendAll(data, n); }

bool Connection::fill() {
  if (!socket_.waitReadable(timeoutMs_)) {
    throw adt::IOException(adt::format("amclient: no answer within %u ms", timeoutMs_));
  }
  if (offset_ > 0 && offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  }
  uint8_t piece[kReadPiece];
  int n;
  try {
    n = socket_.recv(piece, sizeof piece);
  } catch (const adt::SocketException& e) {
    if (e.code() == platform::kNetConnReset) return false;  // dropped: as good as closed
    throw;
  }
  if (n <= 0) return false;
  buffer_.insert(buffer_.end(), piece, piece + n);
  return true;
}

bool Connection::readBytes(void* dst, size_t n) {
  while (buffer_.size() - offset_ < n) {
    if (!fill()) {
      if (buffer_.size() == offset_) return false;
      throw adt::IOException("amclient: connection closed inside an element");
    }
  }
  std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(offset_),
            buffer_.begin() + static_cast<std::ptrdiff_t>(offset_ + n), static_cast<uint8_t*>(dst));
  offset_ += n;
  return true;
}

std::optional<Element> Connection::readElement() {
  uint8_t header[adt::tagged::kLongHeaderSize];
  if (!readBytes(header, adt::tagged::kShortHeaderSize)) return std::nullopt;
  Element e;
  size_t size;
  if (header[0] == adt::tagged::kLongFormMarker) {
    if (!readBytes(header + 2, 4))
      throw adt::IOException("amclient: connection closed inside an element");
    e.tag = header[1];
    size = adt::tagged::getLe32(header + 2);
  } else {
    e.tag = header[0];
    size = header[1];
  }
  e.value.resize(size);
  if (size && !readBytes(e.value.data(), size)) {
    throw adt::IOException("amclient: connection closed inside an element");
  }
  return e;
}

Reply Connection::readUntil(uint8_t tag) {
  Reply reply;
  for (;;) {
    std::optional<Element> e = readElement();
    if (!e) {
      reply.closed = true;
      takeError(reply);
      return reply;
    }
    const uint8_t got = e->tag;
    reply.elements.push_back(std::move(*e));
    if (got == tag) return reply;
    if (takeError(reply)) return reply;
  }
}

Reply Connection::readUntilClosed() {
  Reply reply;
  while (std::optional<Element> e = readElement()) reply.elements.push_back(std::move(*e));
  reply.closed = true;
  takeError(reply);
  return reply;
}

bool Connection::waitClosed() {
  try {
    while (fill()) {
    }
    return true;
  } catch (const adt::IOException&) {
    return false;
  }
}

}  // namespace amclient
