#include "clients/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>

#include "adt/exception.h"

namespace clients {
namespace {

constexpr uint8_t kColon = ':';

// MD5 over the pieces in order.
class Md5 {
 public:
  Md5() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) fail();
  }
  Md5& add(const void* data, size_t n) {
    if (n && EVP_DigestUpdate(ctx_.get(), data, n) != 1) fail();
    return *this;
  }
  Md5& addColon() { return add(&kColon, 1); }
  Digest finish() {
    Digest out{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &size) != 1 || size != out.size()) fail();
    return out;
  }

 private:
  [[noreturn]] static void fail() { throw adt::Exception("MD5 is not available"); }

  struct Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx_;
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
  uint8_t mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(name.data()), name.size(), mac, &size) ||
      size < 4) {
    throw adt::Exception("HMAC-SHA-256 is not available");
  }
  return hexSalt(mac);
}

adt::Bytes randomBytes(size_t n) {
  adt::Bytes out(n);
  if (n && RAND_bytes(out.data(), static_cast<int>(n)) != 1) {
    throw adt::Exception("RAND_bytes: no random bytes available");
  }
  return out;
}

Salt makeNonce() {
  uint8_t random[4];
  if (RAND_bytes(random, sizeof random) != 1) {
    throw adt::Exception("RAND_bytes: no random bytes available");
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
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace clients
