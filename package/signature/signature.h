// Signature and known-digest checks of a package, given the digest the reader computed and the
// 68-byte body of the package's signature part (digest, r, s). The reader does the stream work
// (finishing the SHA-1, reading the body); these functions only do the arithmetic.
#pragma once

#include <cstdint>

namespace installer {

// Size of the signature part's body that is checked; longer bodies are allowed, the rest is
// ignored.
constexpr unsigned signatureBodySize = 68;

// True when `body` (digest, r, s) is a valid signature of `digest` under the public key compiled
// into the installer.
bool checkSignature(const uint8_t digest[20], const uint8_t body[68]);

// The same check under a caller-supplied public key (32 bytes, little-endian u-coordinate).
bool checkSignatureWithKey(const uint8_t digest[20], const uint8_t body[68],
                           const uint8_t publicKey[32]);

// True when `digest` is one of the SHA-1 digests of unsigned packages accepted by this build.
bool isKnownDigest(const uint8_t digest[20]);

} // namespace installer
