// Products of the five-limb representation (see field25519.h), defined here so that every use
// compiles them in place: the ladder's steps then run as one piece of straight-line code, without
// a call and a copied result per product. Included by field25519.h only.
//
// Sizes: a carried element has limbs within [-2^11, 2^51 + 2^11]. Products accept limbs up to
// 2^53 in magnitude (four carried elements added or subtracted): the sums of limb products then
// stay below 2^113, and the carry out of the top limb below 2^58, so that 19 times it still fits
// 64 bits.
#pragma once

namespace installer {

namespace fiveLimbs {

using Wide = __int128;

constexpr int limbBits = 51;
constexpr int64_t limbMask = (int64_t(1) << limbBits) - 1;

// Carries five limb sums of up to 2^113 (either sign) down to carried limbs: a floor carry from
// each limb to the next, the top one wrapping round to limb 0 times 19, and limb 0's new excess
// moved on once more.
[[gnu::always_inline]] inline FieldElement carryWide(Wide h0, Wide h1, Wide h2, Wide h3, Wide h4) {
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

} // namespace fiveLimbs

// Limb i + j takes f_i g_j; past the fifth limb it wraps round times 19.
[[gnu::always_inline]] inline FieldElement fieldMul(const FieldElement& f, const FieldElement& g) {
    using fiveLimbs::Wide;
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
    return fiveLimbs::carryWide(h0, h1, h2, h3, h4);
}

// The same sums with each cross product taken once and doubled.
[[gnu::always_inline]] inline FieldElement fieldSquare(const FieldElement& f) {
    using fiveLimbs::Wide;
    const int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const int64_t f0_2 = 2 * f0, f1_2 = 2 * f1;
    const int64_t f3_19 = 19 * f3, f3_38 = 38 * f3, f4_19 = 19 * f4, f4_38 = 38 * f4;
    Wide h0 = Wide(f0) * f0 + Wide(f1_2) * f4_19 + Wide(f2) * f3_38;
    Wide h1 = Wide(f0_2) * f1 + Wide(f2) * f4_38 + Wide(f3) * f3_19;
    Wide h2 = Wide(f0_2) * f2 + Wide(f1) * f1 + Wide(f3) * f4_38;
    Wide h3 = Wide(f0_2) * f3 + Wide(f1_2) * f2 + Wide(f4) * f4_19;
    Wide h4 = Wide(f0_2) * f4 + Wide(f1_2) * f3 + Wide(f2) * f2;
    return fiveLimbs::carryWide(h0, h1, h2, h3, h4);
}

[[gnu::always_inline]] inline FieldElement fieldMulSmall(const FieldElement& f, int32_t small) {
    using fiveLimbs::Wide;
    return fiveLimbs::carryWide(Wide(f.limb[0]) * small, Wide(f.limb[1]) * small,
                                Wide(f.limb[2]) * small, Wide(f.limb[3]) * small,
                                Wide(f.limb[4]) * small);
}

} // namespace installer
