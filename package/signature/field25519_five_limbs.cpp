// Five signed 64-bit limbs of 51 bits, products in 128 bits: the representation of hosts with a
// 128-bit integer type (see field25519.h); the products are in field25519_five_limbs.h.
#include "package/signature/field25519.h"

namespace installer {

#ifdef FIELD25519_FIVE_LIMBS

namespace {

using fiveLimbs::limbBits;
using fiveLimbs::limbMask;

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

#endif

} // namespace installer
