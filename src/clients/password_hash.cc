#include "clients/password_hash.h"

#include <memory>

#include "adt/exception.h"
#include "platform/digest.h"

namespace clients {
namespace {

constexpr uint8_t kColon = ':';

// MD5 over the pieces in order. Only the pointers are kept: what was added must outlive
// finish(), as it does in the one-expression chains below.
class Md5 {
 public:
  Md5& add(const void* data, size_t n) {
    if (count_ == kMaxPieces) fail();
    pieces_[count_++] = {data, n};
    return *this;
  }
  Md5& addColon() { return add(&kColon, 1); }
  Digest finish() {
    Digest out{};
    if (!platform::md5(pieces_, count_, out.data())) fail();
    return out;
  }

 private:
  [[noreturn]] static void fail() { throw adt::Exception("MD5 is not available"); }

  static constexpr size_t kMaxPieces = 5;
  platform::DigestPiece pieces_[kMaxPieces] = {};
  size_t count_ = 0;
};

}  // namespace

Digest passwordHash(const adt::String& name, const Salt& salt, const adt::String& password) {
  const std::string wireName = adt::toCp1251(name);
  const std::string wirePassword = adt::toCp1251(password);
  return Md5()
      .add(wireName.data(), wireName.size())
      .addColon()
      .add(salt.data(), salt.size())
      .addColon()
      .add(wirePassword.data(), wirePassword.size())
      .finish();
}

Digest loginProof(const Digest& hash, const Salt& challenge) {
  return Md5()
      .add(hash.data(), hash.size())
      .addColon()
      .add(challenge.data(), challenge.size())
      .finish();
}

namespace {

Salt hexSalt(const uint8_t* bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  Salt out{};
  for (size_t i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<uint8_t>(kDigits[bytes[i] >> 4]);
    out[2 * i + 1] = static_cast<uint8_t>(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace

Salt derivedSalt(const adt::Bytes& secret, const adt::String& name) {
  uint8_t mac[platform::kSha256Size];
  if (!platform::hmacSha256(secret.data(), secret.size(), name.data(), name.size(), mac)) {
    throw adt::Exception("HMAC-SHA-256 is not available");
  }
  return hexSalt(mac);
}

adt::Bytes randomBytes(size_t n) {
  adt::Bytes out(n);
  if (!platform::randomBytes(out.data(), n)) {
    throw adt::Exception("no random bytes available");
  }
  return out;
}

Salt makeNonce() {
  uint8_t random[4];
  if (!platform::randomBytes(random, sizeof random)) {
    throw adt::Exception("no random bytes available");
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  Salt out{};
  for (size_t i = 0; i < sizeof random; ++i) {
    out[2 * i] = static_cast<uint8_t>(kDigits[random[i] >> 4]);
    out[2 * i + 1] = static_cast<uint8_t>(kDigits[random[i] & 0x0F]);
  }
  return out;
}

bool digestsEqual(const Digest& a, const Digest& b) {
  // Every byte is compared, so the time taken tells nothing about where they differ.
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference = difference | (a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace clients
