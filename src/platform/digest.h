// Message digests and the system's random source, for the password hashes and login proofs of
// the binary protocol. Each returns false when the system cannot provide the algorithm.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// One piece of a digest's input; pieces are hashed in order as if they were one buffer.
struct DigestPiece {
  const void* data;
  size_t size;
};

constexpr size_t kMd5Size = 16;
constexpr size_t kSha256Size = 32;

// MD5 of the pieces in order into `out` (16 bytes).
bool md5(const DigestPiece* pieces, size_t count, uint8_t* out);

// HMAC-SHA-256 of `data` under `key` into `out` (32 bytes).
bool hmacSha256(const void* key, size_t keySize, const void* data, size_t size, uint8_t* out);

// Fills `out` with n bytes from the system's cryptographic random source.
bool randomBytes(void* out, size_t n);

}  // namespace platform
