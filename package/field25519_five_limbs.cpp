// Five signed 64-bit limbs of 51 bits, products in 128 bits: the representation of hosts with a
// 128-bit integer type (see field25519.h).
//
// Sizes: a carried element has limbs within [-2^11, 2^51 + 2^11]. Products accept limbs up to
// 2^53 in magnitude (four carried elements added or subtracted): the sums of limb products then
// stay below 2^113, and the carry out of the top limb below 2^58, so that 19 times it still fits
// 64 bits.
#include "package/field25519.h"

#ifdef FIELD25519_FIVE_LIMBS

namespace {

using Wide = __int128;

constexpr int limbBits = 51;
constexpr int64_t limbMask = (int64_t(1) << limbBits) - 1;

// Carries five limb sums of up to 2^113 (either sign) down to carried limbs: a floor carry from
// each limb to the next, the top one wrapping round to limb 0 times 19, and limb 0's new excess
// moved on once more.
FieldElement carryWide(Wide h0, Wide h1, Wide h2, Wide h3, Wide h4) {
    FieldElement r;
    h1 += h0 >> limbBits;
    r.limb[0] = int64_t(h0) & limbMask;
    h2 += h1 >> limbBits;
    r.limb[1] = int64_t(h1) & limbMask;
    h3 += h2 >> limbBits;
    r.limb[2] = int64_t(h2) & limbMask;
    h4 += h3 >> limbBits;
    r.limb[3] = int64_t(h3) & limbMask;
    r.limb[0] += int64_t(h4 >> limbBits) * 19;
    r.limb[4] = int64_t(h4) & limbMask;
    r.limb[1] += r.limb[0] >> limbBits;
    r.limb[0] &= limbMask;
    return r;
}

// One floor carry pass over limbs of up to 2^62: limbs 1 to 4 end within [0, 2^51), limb 0
// within 2^16 of that range.
void carryPass(int64_t t[5]) {
    for (int i = 0; i < 4; ++i) {
        t[i + 1] += t[i] >> limbBits;
        t[i] &= limbMask;
    }
    t[0] += (t[4] >> limbBits) * 19;
    t[4] &= limbMask;
}

uint64_t loadWord(const uint8_t bytes[8]) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

void storeWord(uint8_t bytes[8], uint64_t value) {
    for (int i = 0; i < 8; ++i)
        bytes[i] = uint8_t(value >> (8 * i));
}

} // namespace

const char* fieldRepresentation() {
    return "five limbs of 51 bits";
}

FieldElement fieldFromBytes(const uint8_t bytes[32]) {
    const uint64_t w0 = loadWord(bytes), w1 = loadWord(bytes + 8), w2 = loadWord(bytes + 16),
                   w3 = loadWord(bytes + 24);
    FieldElement f;
    f.limb[0] = int64_t(w0) & limbMask;
    f.limb[1] = int64_t(w0 >> 51 | w1 << 13) & limbMask;
    f.limb[2] = int64_t(w1 >> 38 | w2 << 26) & limbMask;
    f.limb[3] = int64_t(w2 >> 25 | w3 << 39) & limbMask;
    f.limb[4] = int64_t(w3 >> 12) & limbMask;
    // Bit 255 stands for 2^255 = 19 modulo p.
    f.limb[0] += 19 * int64_t(w3 >> 63);
    return f;
}

void fieldToBytes(uint8_t bytes[32], const FieldElement& f) {
    int64_t t[5] = {f.limb[0], f.limb[1], f.limb[2], f.limb[3], f.limb[4]};
    // The first pass leaves limb 0 within 2^16 of its range; in the second the carry out of the
    // top is -1, 0 or 1 and cannot push limb 0 out of range again: every limb ends in [0, 2^51),
    // the value in [0, 2^255).
    carryPass(t);
    carryPass(t);
    // q is 1 exactly when the value is at least p: adding 19 then carries out of bit 255.
    int64_t q = (t[0] + 19) >> limbBits;
    for (int i = 1; i < 5; ++i)
        q = (t[i] + q) >> limbBits;
    t[0] += 19 * q;
    for (int i = 0; i < 4; ++i) {
        t[i + 1] += t[i] >> limbBits;
        t[i] &= limbMask;
    }
    t[4] &= limbMask; // drops the 2^255 of q p
    storeWord(bytes, uint64_t(t[0]) | uint64_t(t[1]) << 51);
    storeWord(bytes + 8, uint64_t(t[1]) >> 13 | uint64_t(t[2]) << 38);
    storeWord(bytes + 16, uint64_t(t[2]) >> 26 | uint64_t(t[3]) << 25);
    storeWord(bytes + 24, uint64_t(t[3]) >> 39 | uint64_t(t[4]) << 12);
}

FieldElement fieldCarry(const FieldElement& f) {
    FieldElement r = f;
    carryPass(r.limb);
    r.limb[1] += r.limb[0] >> limbBits;
    r.limb[0] &= limbMask;
    return r;
}

// Limb i + j takes f_i g_j; past the fifth limb it wraps round times 19.
FieldElement fieldMul(const FieldElement& f, const FieldElement& g) {
    const int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const int64_t g0 = g.limb[0], g1 = g.limb[1], g2 = g.limb[2], g3 = g.limb[3], g4 = g.limb[4];
    const int64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
    Wide h0 =
        Wide(f0) * g0 + Wide(f1) * g4_19 + Wide(f2) * g3_19 + Wide(f3) * g2_19 + Wide(f4) * g1_19;
    Wide h1 =
        Wide(f0) * g1 + Wide(f1) * g0 + Wide(f2) * g4_19 + Wide(f3) * g3_19 + Wide(f4) * g2_19;
    Wide h2 = Wide(f0) * g2 + Wide(f1) * g1 + Wide(f2) * g0 + Wide(f3) * g4_19 + Wide(f4) * g3_19;
    Wide h3 = Wide(f0) * g3 + Wide(f1) * g2 + Wide(f2) * g1 + Wide(f3) * g0 + Wide(f4) * g4_19;
    Wide h4 = Wide(f0) * g4 + Wide(f1) * g3 + Wide(f2) * g2 + Wide(f3) * g1 + Wide(f4) * g0;
    return carryWide(h0, h1, h2, h3, h4);
}

// The same sums with each cross product taken once and doubled.
FieldElement fieldSquare(const FieldElement& f) {
    const int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const int64_t f0_2 = 2 * f0, f1_2 = 2 * f1;
    const int64_t f3_19 = 19 * f3, f3_38 = 38 * f3, f4_19 = 19 * f4, f4_38 = 38 * f4;
    Wide h0 = Wide(f0) * f0 + Wide(f1_2) * f4_19 + Wide(f2) * f3_38;
    Wide h1 = Wide(f0_2) * f1 + Wide(f2) * f4_38 + Wide(f3) * f3_19;
    Wide h2 = Wide(f0_2) * f2 + Wide(f1) * f1 + Wide(f3) * f4_38;
    Wide h3 = Wide(f0_2) * f3 + Wide(f1_2) * f2 + Wide(f4) * f4_19;
    Wide h4 = Wide(f0_2) * f4 + Wide(f1_2) * f3 + Wide(f2) * f2;
    return carryWide(h0, h1, h2, h3, h4);
}

FieldElement fieldMulSmall(const FieldElement& f, int32_t small) {
    return carryWide(Wide(f.limb[0]) * small, Wide(f.limb[1]) * small, Wide(f.limb[2]) * small,
                     Wide(f.limb[3]) * small, Wide(f.limb[4]) * small);
}

#endif
