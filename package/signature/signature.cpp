#include "package/signature/signature.h"

#include "package/signature/known_digests.h"
#include "package/signature/signature_hash.h"
#include "package/signature/signature_ladder.h"
#include "package/signature_public_key.h"

#include <cstring>

namespace installer {

namespace {

// Offsets in the signature body.
constexpr unsigned digestSize = 20;
constexpr unsigned rOffset = 20, rSize = 16;
constexpr unsigned sOffset = 36;

bool checkWithKey(const uint8_t digest[20], const uint8_t body[68], const SignatureKey* key) {
    if (!key || std::memcmp(body, digest, digestSize) != 0)
        return false;
    // k: the hash of the digest with r folded into its middle, clamped like an X25519 scalar.
    uint8_t k[signatureHashSize];
    signatureHash(digest, digestSize, k);
    for (unsigned i = 0; i < rSize; ++i)
        k[8 + i] ^= body[rOffset + i];
    k[0] &= 0xF8;
    k[31] &= 0x7F;
    k[31] |= 0x40;

    uint8_t u[32];
    if (!twoScalarMultiple(u, *key, body + sOffset, k))
        return false;
    uint8_t c[signatureHashSize];
    signatureHash(u, sizeof u, c);
    return std::memcmp(c, body + rOffset, rSize) == 0;
}

} // namespace

bool checkSignatureWithKey(const uint8_t digest[20], const uint8_t body[68],
                           const uint8_t publicKey[32]) {
    SignatureKey key;
    return checkWithKey(digest, body, signatureKeyFromBytes(key, publicKey) ? &key : nullptr);
}

// The compiled-in key is decoded once: that takes a square root, a tenth of a check.
bool checkSignature(const uint8_t digest[20], const uint8_t body[68]) {
    static SignatureKey key;
    static const bool usable = signatureKeyFromBytes(key, installerPublicKey);
    return checkWithKey(digest, body, usable ? &key : nullptr);
}

bool isKnownDigest(const uint8_t digest[20]) {
    return findKnownDigest(knownDigestTable, knownDigestCount, digest);
}

} // namespace installer
