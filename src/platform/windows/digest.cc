// Digests and random bytes from the system's cryptography (BCrypt).
#include "platform/digest.h"

#include "platform/windows/win.h"

#include <bcrypt.h>

namespace platform {
namespace {

bool hash(LPCWSTR algorithm, const void* key, size_t keySize, const DigestPiece* pieces,
          size_t count, uint8_t* out, ULONG outSize) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  const ULONG flags = key ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0;
  if (BCryptOpenAlgorithmProvider(&alg, algorithm, nullptr, flags) < 0) return false;
  BCRYPT_HASH_HANDLE h = nullptr;
  bool ok = BCryptCreateHash(alg, &h, nullptr, 0,
                             static_cast<PUCHAR>(const_cast<void*>(key)),
                             static_cast<ULONG>(keySize), 0) >= 0;
  for (size_t i = 0; ok && i < count; ++i) {
    const auto* p = static_cast<const unsigned char*>(pieces[i].data);
    size_t left = pieces[i].size;
    while (ok && left > 0) {
      const ULONG n = left > 0x40000000u ? 0x40000000u : static_cast<ULONG>(left);
      ok = BCryptHashData(h, const_cast<PUCHAR>(p), n, 0) >= 0;
      p += n;
      left -= n;
    }
  }
  ok = ok && BCryptFinishHash(h, out, outSize, 0) >= 0;
  if (h) BCryptDestroyHash(h);
  BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

}  // namespace

bool md5(const DigestPiece* pieces, size_t count, uint8_t* out) {
  return hash(BCRYPT_MD5_ALGORITHM, nullptr, 0, pieces, count, out, kMd5Size);
}

bool hmacSha256(const void* key, size_t keySize, const void* data, size_t size, uint8_t* out) {
  if (keySize > 0x40000000u) return false;
  static const unsigned char kEmpty = 0;
  const DigestPiece piece{data, size};
  return hash(BCRYPT_SHA256_ALGORITHM, keySize ? key : &kEmpty, keySize, &piece, 1, out,
              kSha256Size);
}

bool randomBytes(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ULONG piece = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
    if (BCryptGenRandom(nullptr, p, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    p += piece;
    n -= piece;
  }
  return true;
}

}  // namespace platform
