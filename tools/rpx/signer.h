// The signing side of package signatures, for the package tool on the build host: key pairs,
// key files and signing a package digest so that the installer's check accepts it.
//
// A secret key is the scalar x (32 bytes little-endian, below the order L of the base point B)
// and the public key the u-coordinate of Q = [x]B. The check rebuilds Q from u with the even
// v, so x is chosen (negated if need be) such that [x]B has the even v.
#pragma once

#include "package/signature/field25519.h"

#include <cstdint>
#include <string>

// A new key pair from the system's random numbers. False when none can be read.
bool generateKeyPair(uint8_t secret[32], uint8_t publicKey[32]);

// The public key belonging to `secret`; false for a secret that no generated key pair has
// (zero, not below L, or with [x]B of odd v).
bool publicKeyFromSecret(const uint8_t secret[32], uint8_t publicKey[32]);

// The 68-byte signature body for `digest`: the digest, r and s. A fresh random nonce each time.
// False when no random numbers can be read.
bool signDigest(const uint8_t secret[32], const uint8_t digest[20], uint8_t body[68]);

// The same with a given 64-byte nonce seed (reduced modulo L; it must be secret and never reused).
bool signDigestWithNonce(const uint8_t secret[32], const uint8_t digest[20],
                         const uint8_t nonceSeed[64], uint8_t body[68]);

// Key files hold 64 hex digits and a newline. Secret key files are created with mode 0600 and
// an existing file is never overwritten. On failure `error` names the file and the problem.
bool writeKeyFile(const std::string& path, const uint8_t key[32], bool secret, std::string& error);
bool readKeyFile(const std::string& path, uint8_t key[32], std::string& error);

// Plain affine point arithmetic on the curve (one inversion per step: slow, and only used for
// key generation and as a reference in tests).
struct CurvePoint {
    installer::FieldElement u, v;
    bool infinity = false;
};
CurvePoint curveBasePoint(); // u = 9, the even v
CurvePoint curveAdd(const CurvePoint& a, const CurvePoint& b);
CurvePoint curveMultiple(const CurvePoint& p, const uint8_t n[32]);

// Scalars modulo the order L of B, 32 bytes little-endian.
void scalarReduce(uint8_t out[32], const uint8_t* in, unsigned length);
void scalarMulSub(uint8_t out[32], const uint8_t w[32], const uint8_t k[32], const uint8_t x[32]);
