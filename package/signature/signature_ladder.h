// Point arithmetic of the signature check on the curve v^2 = u^3 + 486662 u^2 + u over the field
// of 2^255 - 19, with the base point B (u = 9, the even v). Only u-coordinates leave this file.
//
// Signature convention: the two-scalar ladder yields u([s]B + [k]Q), where Q is the public key's
// point with the even v (parity of the fully reduced value). A signer holding x with Q = [x]B
// signs accordingly (tools/rpx/signer.h).
#pragma once

#include "package/signature/field25519.h"

#include <cstdint>

namespace installer {

// The v-coordinate of B: the even square root of 9^3 + 486662 * 9^2 + 9.
extern const uint8_t signatureBaseV[32];

// What the ladder needs of a public key: the affine u of Q, B + Q and B - Q.
struct SignatureKey {
    FieldElement q, basePlusQ, baseMinusQ;
};

// Reconstructs Q (even root) from its u-coordinate and forms B + Q and B - Q. False for keys that
// are no point of the curve or that make the ladder degenerate (Q = 0, Q = +-B, B +- Q of order
// two): no signature can be checked against those.
bool signatureKeyFromBytes(SignatureKey& key, const uint8_t publicKey[32]);

// u([s]B + [k]Q) encoded as 32 bytes (0 for the point at infinity); s and k are 256-bit
// little-endian, all bits used.
bool twoScalarMultiple(uint8_t u[32], const SignatureKey& key, const uint8_t s[32],
                       const uint8_t k[32]);

// The joint bits steering the two-scalar ladder (bit i of the result, little-endian, belongs to
// scalar bit i); exposed for tests.
void signatureJointBits(uint8_t joint[32], const uint8_t s[32], const uint8_t k[32]);

// u([n]P) for the point P with u-coordinate `u`, by the one-scalar Montgomery ladder over all
// 256 bits of n (no clamping); bit 255 of `u` counts as well.
void montgomeryLadder(uint8_t out[32], const uint8_t n[32], const uint8_t u[32]);

} // namespace installer
