// Arithmetic modulo p = 2^255 - 19 for the signature check. An element is held in ten signed
// 32-bit limbs of alternately 26 and 25 bits (limb i has weight 2^ceil(25.5 i)); products are
// formed in 64 bits and what overflows 2^255 comes back multiplied by 19. The same code runs on
// the 32-bit installer and on the host.
//
// Limbs are kept small enough that two elements may be added or subtracted and the result fed
// to mul or square without a carry in between; every other result is carried.
#pragma once

#include <cstdint>

struct FieldElement {
    int32_t limb[10];
};

FieldElement fieldFromInt(int32_t value); // |value| < 2^25
// All 256 bits count: a value of 2^255 or more is taken modulo p.
FieldElement fieldFromBytes(const uint8_t bytes[32]);
// The fully reduced value, little-endian.
void fieldToBytes(uint8_t bytes[32], const FieldElement& f);

FieldElement fieldAdd(const FieldElement& f, const FieldElement& g);
FieldElement fieldSub(const FieldElement& f, const FieldElement& g);
FieldElement fieldNeg(const FieldElement& f);
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
