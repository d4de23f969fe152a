// Arithmetic modulo p = 2^255 - 19 for the signature check, in one of two representations
// chosen at compile time; both give the same results and share everything above the limbs.
//
// - Five signed 64-bit limbs of 51 bits (limb i has weight 2^(51 i)), products in 128 bits, on
//   hosts whose compiler has a 128-bit integer type.
// - Ten signed 32-bit limbs of alternately 26 and 25 bits (limb i has weight 2^ceil(25.5 i)),
//   products in 64 bits, everywhere else: the 32-bit installer. Defining FIELD25519_TEN_LIMBS
//   selects it on any host, so that its tests run there as well.
//
// In both, what overflows 2^255 comes back multiplied by 19. Limbs are kept small enough that
// two elements may be added or subtracted and the result fed to mul or square without a carry in
// between; every other result is carried.
#pragma once

#include <cstdint>

namespace installer {

#if defined(__SIZEOF_INT128__) && !defined(FIELD25519_TEN_LIMBS)
#define FIELD25519_FIVE_LIMBS 1
struct FieldElement {
    int64_t limb[5];
};
#else
struct FieldElement {
    int32_t limb[10];
};
#endif

constexpr int fieldLimbCount = sizeof(FieldElement::limb) / sizeof(FieldElement::limb[0]);

// "five limbs of 51 bits" or "ten limbs of 26 and 25 bits", for test and benchmark output.
const char* fieldRepresentation();

inline FieldElement fieldFromInt(int32_t value) { // |value| < 2^25
    FieldElement f{};
    f.limb[0] = value;
    return f;
}
// All 256 bits count: a value of 2^255 or more is taken modulo p.
FieldElement fieldFromBytes(const uint8_t bytes[32]);
// The fully reduced value, little-endian.
void fieldToBytes(uint8_t bytes[32], const FieldElement& f);

// Limb by limb, without carrying: these sit in the ladder's innermost loop, fully unrolled.
inline FieldElement fieldAdd(const FieldElement& f, const FieldElement& g) {
    FieldElement h;
#pragma GCC unroll 10
    for (int i = 0; i < fieldLimbCount; ++i)
        h.limb[i] = f.limb[i] + g.limb[i];
    return h;
}
inline FieldElement fieldSub(const FieldElement& f, const FieldElement& g) {
    FieldElement h;
#pragma GCC unroll 10
    for (int i = 0; i < fieldLimbCount; ++i)
        h.limb[i] = f.limb[i] - g.limb[i];
    return h;
}
inline FieldElement fieldNeg(const FieldElement& f) {
    FieldElement h;
#pragma GCC unroll 10
    for (int i = 0; i < fieldLimbCount; ++i)
        h.limb[i] = -f.limb[i];
    return h;
}

// With five limbs, these three are defined inline in field25519_five_limbs.h.
FieldElement fieldMul(const FieldElement& f, const FieldElement& g);
FieldElement fieldSquare(const FieldElement& f);
FieldElement fieldMulSmall(const FieldElement& f, int32_t small); // |small| < 2^20
// Brings limbs that grew through additions back to their carried size.
FieldElement fieldCarry(const FieldElement& f);

// f^(p-2): the inverse of f, and 0 for 0.
FieldElement fieldInvert(const FieldElement& f);
// f^((p-5)/8), the core of square roots for p = 5 mod 8.
FieldElement fieldPow22523(const FieldElement& f);

bool fieldIsZero(const FieldElement& f);
bool fieldIsOdd(const FieldElement& f); // parity of the fully reduced value
bool fieldEqual(const FieldElement& f, const FieldElement& g);

// A square root of a, the even one of the two (by the parity of the fully reduced value).
// False when a is not a square.
bool fieldSqrtEven(FieldElement& root, const FieldElement& a);
// r with a * r^2 = 1 (either sign). False when a is zero or not a square.
bool fieldInverseSqrt(FieldElement& r, const FieldElement& a);

} // namespace installer

#ifdef FIELD25519_FIVE_LIMBS
#include "package/signature/field25519_five_limbs.h"
#endif
