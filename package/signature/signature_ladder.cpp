#include "package/signature/signature_ladder.h"

#include <utility>

namespace installer {

const uint8_t signatureBaseV[32] = {
    0x14, 0x2c, 0x31, 0x81, 0x5d, 0x3a, 0x16, 0xd6, 0x4d, 0x9e, 0x83, 0x92, 0x81, 0xb2, 0xc2, 0x6d,
    0xb3, 0x2e, 0xb7, 0x88, 0xd3, 0x22, 0xe1, 0x1f, 0x4b, 0x79, 0x5f, 0x47, 0x5e, 0xe6, 0x51, 0x5f};

namespace {

constexpr int32_t curveA = 486662;
constexpr int32_t baseU = 9;
constexpr int32_t a24 = (curveA - 2) / 4; // 121665

// A point of the ladders, held as X + Z and X - Z of its projective coordinates (X : Z), u = X / Z:
// the doubling and the differential addition both start from these, and a point takes part in up
// to two operations of a ladder step. (1 : 0) is the point at infinity.
struct LadderPoint {
    FieldElement sum, difference;
};

LadderPoint fromProjective(const FieldElement& x, const FieldElement& z) {
    return {fieldAdd(x, z), fieldSub(x, z)};
}
LadderPoint infinity() {
    return fromProjective(fieldFromInt(1), fieldFromInt(0));
}
LadderPoint affine(const FieldElement& u) {
    return fromProjective(u, fieldFromInt(1));
}

// Both operations read all of their inputs before they write `out`, which may be one of them.
void xDouble(LadderPoint& out, const LadderPoint& p) {
    FieldElement sum = fieldSquare(p.sum);
    FieldElement difference = fieldSquare(p.difference);
    FieldElement e = fieldSub(sum, difference);
    out = fromProjective(fieldMul(sum, difference),
                         fieldMul(e, fieldAdd(sum, fieldMulSmall(e, a24))));
}

// P + R from P, R and the u of P - R (or R - P); `diffSmall`, when not 0, is that u as a small
// constant and `diff` is ignored.
void xAdd(LadderPoint& out, const LadderPoint& p, const LadderPoint& r, const FieldElement& diff,
          int32_t diffSmall = 0) {
    FieldElement da = fieldMul(r.difference, p.sum);
    FieldElement cb = fieldMul(r.sum, p.difference);
    FieldElement x = fieldSquare(fieldAdd(da, cb));
    FieldElement t = fieldSquare(fieldSub(da, cb));
    out = fromProjective(x, diffSmall ? fieldMulSmall(t, diffSmall) : fieldMul(diff, t));
}

// u = X / Z = (sum + difference) / (sum - difference).
void encodeAffine(uint8_t u[32], const LadderPoint& p) {
    FieldElement x = fieldCarry(fieldAdd(p.sum, p.difference));
    FieldElement z = fieldCarry(fieldSub(p.sum, p.difference));
    fieldToBytes(u, fieldMul(x, fieldInvert(z)));
}

int bitOf(const uint8_t n[32], int i) {
    return (n[i / 8] >> (i % 8)) & 1;
}

} // namespace

bool signatureKeyFromBytes(SignatureKey& key, const uint8_t publicKey[32]) {
    const FieldElement one = fieldFromInt(1);
    FieldElement u = fieldFromBytes(publicKey);
    // f = v^2 of Q, and D the denominator of both slopes (Q to B and Q to -B). A single inverse
    // square root of f D^2 yields v_Q and 1/D together: r = +-1/(v_Q D).
    FieldElement f = fieldMul(u, fieldAdd(fieldAdd(fieldSquare(u), fieldMulSmall(u, curveA)), one));
    FieldElement d = fieldCarry(fieldSub(u, fieldFromInt(baseU)));
    FieldElement r;
    if (!fieldInverseSqrt(r, fieldMul(f, fieldSquare(d))))
        return false; // Q not on the curve, of order two, or Q = +-B
    FieldElement v = fieldMul(fieldMul(f, r), d);
    FieldElement inverseD = fieldMul(r, v);
    if (fieldIsOdd(v))
        v = fieldCarry(fieldNeg(v));
    FieldElement vB = fieldFromBytes(signatureBaseV);
    FieldElement slopePlus = fieldMul(fieldSub(v, vB), inverseD);
    FieldElement slopeMinus = fieldMul(fieldAdd(v, vB), inverseD);
    const FieldElement rest = fieldFromInt(curveA + baseU);
    key.q = u;
    key.basePlusQ = fieldCarry(fieldSub(fieldSub(fieldSquare(slopePlus), rest), u));
    key.baseMinusQ = fieldCarry(fieldSub(fieldSub(fieldSquare(slopeMinus), rest), u));
    return !fieldIsZero(key.basePlusQ) && !fieldIsZero(key.baseMinusQ);
}

// Bit i of the result is the exclusive-or of bit i of the scalar and bit i-1 (0 below bit 0):
// where the scalar's bits change. The joint bit follows the change bits a, b of s and k: where
// exactly one scalar changes, it is a; where both or neither change, it flips with a.
void signatureJointBits(uint8_t joint[32], const uint8_t s[32], const uint8_t k[32]) {
    unsigned a = 0, b = 0, j = 0;
    for (int i = 0; i < 32; ++i) {
        a = (a >> 8) ^ s[i] ^ (unsigned(s[i]) << 1);
        b = (b >> 8) ^ k[i] ^ (unsigned(k[i]) << 1);
        unsigned out = 0;
        for (int bit = 0; bit < 8; ++bit) {
            unsigned aBit = (a >> bit) & 1, bBit = (b >> bit) & 1;
            j = aBit ^ (j & ~(aBit ^ bBit) & 1);
            out |= j << bit;
        }
        joint[i] = uint8_t(out);
    }
}

// A two-dimensional differential addition chain. With (m, n) the scalars' bits read so far,
// corner (x, y) holds [m + x]B + [n + y]Q for three of the four (x, y); the fourth is stale. The
// kept three always include one diagonal pair of the square, (0,0)-(1,1) or (1,0)-(0,1), chosen
// by the last bit pair read (equal bits: the first). Reading the bits (p, q) makes the new
// square's corners from the old ones:
//   (p, q)          = 2 (p, q)                                        (doubling)
//   (1-p, 1-q)      = the old diagonal pair added, difference B+Q or B-Q
//   (1-p, q)        = (0, q) + (1, q), difference B                   (joint bit 1)
//   or (p, 1-q)     = (p, 0) + (p, 1), difference Q                   (joint bit 0)
// Which of the last two the step needs is decided by the bit pairs still to come: the next time
// the pairs switch between equal and unequal bits, that pair's own corner must be among the three
// kept. The joint bits encode exactly that choice, worked out from the low bits up, with a pair
// (0, 0) below bit 0 so that corner (0, 0), the result, is kept at the end. Each step uses all
// three kept corners, each of them in one or two of its operations.
bool twoScalarMultiple(uint8_t u[32], const SignatureKey& key, const uint8_t s[32],
                       const uint8_t k[32]) {
    uint8_t joint[32];
    signatureJointBits(joint, s, k);
    const FieldElement unused = fieldFromInt(0);
    // corner[2x + y] holds the corner (x, y); each step writes the new square into the other
    // buffer.
    LadderPoint buffers[2][4] = {
        {infinity(), affine(key.q), affine(fieldFromInt(baseU)), affine(key.basePlusQ)}};
    LadderPoint *corner = buffers[0], *next = buffers[1];
    unsigned kept = 0xF; // bit 2x + y: corner (x, y) is current
    int diagonal = 1;    // all four are current at the start, so either diagonal serves
    for (int i = 255; i >= 0; --i) {
        const int p = bitOf(s, i), q = bitOf(k, i), useBase = bitOf(joint, i);
        const int own = 2 * p + q; // the corner (p, q)
        unsigned needed =
            1u << own | (diagonal ? 0x6 : 0x9) | (useBase ? 0x5u << q : 0x3u << 2 * p);
        if ((kept & needed) != needed)
            return false; // a stale corner would be used: the chain is broken
        xDouble(next[own], corner[own]);
        if (diagonal)
            xAdd(next[3 - own], corner[2], corner[1], key.baseMinusQ);
        else
            xAdd(next[3 - own], corner[0], corner[3], key.basePlusQ);
        if (useBase) {
            xAdd(next[2 * (1 - p) + q], corner[q], corner[2 + q], unused, baseU);
            kept = 0xF & ~(1u << (2 * p + 1 - q));
        } else {
            xAdd(next[2 * p + 1 - q], corner[2 * p], corner[2 * p + 1], key.q);
            kept = 0xF & ~(1u << (2 * (1 - p) + q));
        }
        std::swap(corner, next);
        diagonal = p ^ q;
    }
    if (!(kept & 1))
        return false;
    encodeAffine(u, corner[0]);
    return true;
}

void montgomeryLadder(uint8_t out[32], const uint8_t n[32], const uint8_t u[32]) {
    FieldElement x1 = fieldFromBytes(u);
    LadderPoint low = infinity(), high = affine(x1); // [m]P and [m+1]P
    for (int i = 255; i >= 0; --i) {
        if (bitOf(n, i)) {
            xAdd(low, low, high, x1);
            xDouble(high, high);
        } else {
            xAdd(high, low, high, x1);
            xDouble(low, low);
        }
    }
    encodeAffine(out, low);
}

} // namespace installer
