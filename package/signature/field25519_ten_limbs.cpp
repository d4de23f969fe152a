// Ten signed 32-bit limbs of alternately 26 and 25 bits, products in 64 bits: the representation
// of the 32-bit installer (see field25519.h).
#include "package/signature/field25519.h"

namespace installer {

#ifndef FIELD25519_FIVE_LIMBS

namespace {

// Bit position of each limb within the 255-bit value.
constexpr int limbOffset[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr int limbBits(int i) {
    return i % 2 == 0 ? 26 : 25;
}

// Moves the excess of limb i, rounded to the nearest, into the next limb (limb 9 wraps round to
// limb 0 times 19), leaving limb i within half its range.
inline void carryRounded(int64_t h[10], int i) {
    const int bits = limbBits(i);
    const int64_t carry = (h[i] + (int64_t(1) << (bits - 1))) >> bits;
    if (i == 9)
        h[0] += carry * 19;
    else
        h[i + 1] += carry;
    h[i] -= carry * (int64_t(1) << bits);
}

// Two interleaved carry chains, so that each limb is carried after its lower neighbour gave it
// its carry; products of up to 2^62 come out with every limb within half its range (limb 1
// within a little more).
FieldElement carryProduct(int64_t h[10]) {
    carryRounded(h, 0);
    carryRounded(h, 4);
    carryRounded(h, 1);
    carryRounded(h, 5);
    carryRounded(h, 2);
    carryRounded(h, 6);
    carryRounded(h, 3);
    carryRounded(h, 7);
    carryRounded(h, 4);
    carryRounded(h, 8);
    carryRounded(h, 9);
    carryRounded(h, 0);
    FieldElement out;
    for (int i = 0; i < 10; ++i)
        out.limb[i] = int32_t(h[i]);
    return out;
}

uint64_t loadLittleEndian(const uint8_t bytes[32], int from) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | (from + i < 32 ? bytes[from + i] : 0);
    return value;
}

} // namespace

const char* fieldRepresentation() {
    return "ten limbs of 26 and 25 bits";
}

FieldElement fieldFromBytes(const uint8_t bytes[32]) {
    int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        uint64_t window = loadLittleEndian(bytes, limbOffset[i] / 8);
        h[i] = int64_t((window >> (limbOffset[i] % 8)) & ((uint64_t(1) << limbBits(i)) - 1));
    }
    // Bit 255 stands for 2^255 = 19 modulo p.
    h[0] += 19 * (bytes[31] >> 7);
    return carryProduct(h);
}

void fieldToBytes(uint8_t bytes[32], const FieldElement& f) {
    FieldElement c = fieldCarry(f);
    int32_t* h = c.limb;
    // q is 1 exactly when the value is at least p: adding 19 then carries out of bit 255.
    int32_t q = (19 * h[9] + (int32_t(1) << 24)) >> 25;
    for (int i = 0; i < 10; ++i)
        q = (h[i] + q) >> limbBits(i);
    h[0] += 19 * q;
    for (int i = 0; i < 10; ++i) {
        int32_t carry = h[i] >> limbBits(i);
        if (i < 9)
            h[i + 1] += carry;
        h[i] -= carry * (int32_t(1) << limbBits(i));
    }
    uint64_t acc = 0;
    int accBits = 0, out = 0;
    for (int i = 0; i < 10; ++i) {
        acc |= uint64_t(uint32_t(h[i])) << accBits;
        accBits += limbBits(i);
        while (accBits >= 8) {
            bytes[out++] = uint8_t(acc);
            acc >>= 8;
            accBits -= 8;
        }
    }
    bytes[out] = uint8_t(acc); // the last 7 bits
}

FieldElement fieldCarry(const FieldElement& f) {
    int64_t h[10];
    for (int i = 0; i < 10; ++i)
        h[i] = f.limb[i];
    return carryProduct(h);
}

// Limb products: f_i g_j has weight 2^(offset i + offset j), which is the weight of limb i+j
// doubled when i and j are both odd (25.5-bit spacing); limbs past the ninth wrap round times 19.
// Inputs up to 1.65 * 2^26 per limb keep 19 g_j within 31 bits and every sum below 2^62.
FieldElement fieldMul(const FieldElement& f, const FieldElement& g) {
    int32_t f2[10], g19[10];
    for (int i = 0; i < 10; ++i) {
        f2[i] = i % 2 == 1 ? 2 * f.limb[i] : f.limb[i];
        g19[i] = 19 * g.limb[i];
    }
    int64_t h[10] = {};
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
#pragma GCC unroll 10
        for (int j = 0; j < 10; ++j) {
            const int64_t a = (i % 2 == 1 && j % 2 == 1) ? f2[i] : f.limb[i];
            const int64_t b = i + j >= 10 ? g19[j] : g.limb[j];
            h[(i + j) % 10] += a * b;
        }
    }
    return carryProduct(h);
}

// The same sums with each cross product taken once and doubled.
FieldElement fieldSquare(const FieldElement& f) {
    int64_t h[10] = {};
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
#pragma GCC unroll 10
        for (int j = i; j < 10; ++j) {
            int32_t a = f.limb[i] * ((i != j ? 2 : 1) * (i % 2 == 1 && j % 2 == 1 ? 2 : 1));
            int32_t b = f.limb[j] * (i + j >= 10 ? 19 : 1);
            h[(i + j) % 10] += int64_t(a) * b;
        }
    }
    return carryProduct(h);
}

FieldElement fieldMulSmall(const FieldElement& f, int32_t small) {
    int64_t h[10];
    for (int i = 0; i < 10; ++i)
        h[i] = int64_t(f.limb[i]) * small;
    return carryProduct(h);
}

#endif

} // namespace installer
