// What the field representations share: exponentiation chains, roots and comparisons, all built
// on the representation's own products and encoding.
#include "package/signature/field25519.h"

namespace installer {

namespace {

// 2^((p-1)/4), a square root of -1.
constexpr uint8_t sqrtMinusOneBytes[32] = {
    0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4, 0x78, 0xe4, 0x2f, 0xad, 0x06, 0x18, 0x43, 0x2f,
    0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00, 0x4d, 0x2b, 0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b};

FieldElement squareTimes(FieldElement f, int times) {
    for (int i = 0; i < times; ++i)
        f = fieldSquare(f);
    return f;
}

// z^(2^250 - 1), and z^11 on the way.
FieldElement pow2250minus1(const FieldElement& z, FieldElement& z11) {
    FieldElement z2 = fieldSquare(z);
    FieldElement z9 = fieldMul(z, squareTimes(z2, 2));
    z11 = fieldMul(z2, z9);
    FieldElement t = fieldMul(z9, fieldSquare(z11));            // 2^5 - 1
    FieldElement t10 = fieldMul(squareTimes(t, 5), t);          // 2^10 - 1
    FieldElement t20 = fieldMul(squareTimes(t10, 10), t10);     // 2^20 - 1
    FieldElement t40 = fieldMul(squareTimes(t20, 20), t20);     // 2^40 - 1
    FieldElement t50 = fieldMul(squareTimes(t40, 10), t10);     // 2^50 - 1
    FieldElement t100 = fieldMul(squareTimes(t50, 50), t50);    // 2^100 - 1
    FieldElement t200 = fieldMul(squareTimes(t100, 100), t100); // 2^200 - 1
    return fieldMul(squareTimes(t200, 50), t50);                // 2^250 - 1
}

} // namespace

FieldElement fieldInvert(const FieldElement& f) {
    FieldElement f11;
    FieldElement t = pow2250minus1(f, f11);
    return fieldMul(squareTimes(t, 5), f11); // 2^255 - 32 + 11 = p - 2
}

FieldElement fieldPow22523(const FieldElement& f) {
    FieldElement f11;
    FieldElement t = pow2250minus1(f, f11);
    return fieldMul(squareTimes(t, 2), f); // 2^252 - 4 + 1 = (p - 5) / 8
}

bool fieldIsZero(const FieldElement& f) {
    uint8_t bytes[32];
    fieldToBytes(bytes, f);
    uint8_t any = 0;
    for (uint8_t b : bytes)
        any |= b;
    return any == 0;
}

bool fieldIsOdd(const FieldElement& f) {
    uint8_t bytes[32];
    fieldToBytes(bytes, f);
    return bytes[0] & 1;
}

bool fieldEqual(const FieldElement& f, const FieldElement& g) {
    return fieldIsZero(fieldSub(f, g));
}

bool fieldSqrtEven(FieldElement& root, const FieldElement& a) {
    // a^((p+3)/8) squares to a or to -a; in the second case a square root of -1 fixes it.
    FieldElement r = fieldMul(a, fieldPow22523(a));
    FieldElement check = fieldSquare(r);
    if (!fieldEqual(check, a)) {
        if (!fieldEqual(check, fieldNeg(a)))
            return false;
        r = fieldMul(r, fieldFromBytes(sqrtMinusOneBytes));
    }
    root = fieldIsOdd(r) ? fieldCarry(fieldNeg(r)) : r;
    return true;
}

bool fieldInverseSqrt(FieldElement& r, const FieldElement& a) {
    if (fieldIsZero(a))
        return false;
    // r = a^3 (a^7)^((p-5)/8); then a r^2 = (a^((p-1)/4))^7, which is 1 or -1 for a square.
    FieldElement a3 = fieldMul(fieldSquare(a), a);
    FieldElement a7 = fieldMul(fieldSquare(a3), a);
    r = fieldMul(a3, fieldPow22523(a7));
    FieldElement check = fieldMul(a, fieldSquare(r));
    if (fieldEqual(check, fieldFromInt(1)))
        return true;
    if (!fieldEqual(check, fieldFromInt(-1)))
        return false;
    r = fieldMul(r, fieldFromBytes(sqrtMinusOneBytes));
    return true;
}

} // namespace installer
