// Digests and random bytes from libcrypto.
#include "platform/digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace platform {

bool md5(const DigestPiece* pieces, size_t count, uint8_t* out) {
  struct Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
  for (size_t i = 0; ok && i < count; ++i) {
    ok = pieces[i].size == 0 || EVP_DigestUpdate(ctx.get(), pieces[i].data, pieces[i].size) == 1;
  }
  unsigned int size = 0;
  return ok && EVP_DigestFinal_ex(ctx.get(), out, &size) == 1 && size == kMd5Size;
}

bool hmacSha256(const void* key, size_t keySize, const void* data, size_t size, uint8_t* out) {
  if (keySize > INT_MAX) return false;
  unsigned int written = 0;
  return HMAC(EVP_sha256(), key, static_cast<int>(keySize),
              static_cast<const unsigned char*>(data), size, out, &written) &&
         written == kSha256Size;
}

bool randomBytes(void* out, size_t n) {
  return n == 0 ||
         (n <= INT_MAX && RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(n)) == 1);
}

}  // namespace platform
