// The published algorithms of the login: salted password hashes, login proofs over a
// challenge, and the nonces used as fresh salts and challenges.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "adt/text.h"

namespace clients {

// A salt or a challenge: eight ASCII characters, uppercase hexadecimal digits when the
// manager makes one (a client-chosen salt may hold any bytes).
using Salt = std::array<uint8_t, 8>;
// An MD5 digest: a password hash or a login proof.
using Digest = std::array<uint8_t, 16>;

// MD5(name ":" salt ":" password). Name and password are UTF-8 here and hashed as the
// Windows-1251 bytes that travel on the wire and that the clients hash.
Digest passwordHash(const adt::String& name, const Salt& salt, const adt::String& password);

// MD5(hash ":" challenge): what a client proves its password with.
Digest loginProof(const Digest& hash, const Salt& challenge);

// Eight uppercase hexadecimal digits from the system's cryptographic random source, so that
// neither salts nor challenges can be predicted (and two made at once still differ). Throws
// adt::Exception when the source fails.
Salt makeNonce();

// The salt of a name that has no stored record: the first four bytes of HMAC-SHA-256(secret,
// name) as eight uppercase hexadecimal digits. The same name always gets the same salt, like a
// stored one, and nobody without the secret can tell it from a stored one.
Salt derivedSalt(const adt::Bytes& secret, const adt::String& name);

// `n` bytes from the system's cryptographic random source. Throws adt::Exception when it fails.
adt::Bytes randomBytes(size_t n);

// Compares two digests in time that does not depend on where they differ, so that a wrong
// proof reveals nothing about the expected one.
bool digestsEqual(const Digest& a, const Digest& b);

}  // namespace clients
