#include "package/signature/signature_hash.h"

#include <cstring>

namespace installer {

const uint32_t signatureHashWords[signatureHashWordCount] = {
    0x07a83609, 0x0b0bacdc, 0x101c99a1, 0x11cbc6df, 0x1a2f419a, 0x1bdb1582, 0x20db4361, 0x2925fcb6,
    0x2acce94f, 0x330785f5, 0x34ab416d, 0x39934d5d, 0x482f7803, 0x4b690017, 0x4d050276, 0x503b85d5,
    0x55098d4b, 0x59d320e2, 0x602e5f95, 0x64edb71f, 0x69a8bc6c, 0x7adcc952, 0x7c6a5cd5, 0x842760b8,
    0x8a500780, 0x91f8c724, 0x968beb53, 0x9b1b1ee1, 0xa1295139, 0xaa31c1c1, 0xad312dfe, 0xb1ad2ad1,
    0xb6256803, 0xb7a1fdd7, 0xbc1547a4, 0xc4f0da04, 0xcc476ce9, 0xd963f1af, 0xdad6f06d, 0xddbbc54a,
    0xe21022e4, 0xe380d3ba, 0xe7d09ea6, 0xeaae9774, 0xec1d0374, 0xeef8bbe2, 0xf782fa1e, 0xf8ee0f67,
    0xfd2d1d96, 0x150001f6, 0x1929b499, 0x1d504a19, 0x22d44374, 0x2f2962aa, 0x35f7a745, 0x3f71089f,
    0x42231365, 0x437b9d03, 0x462bb9a8, 0x4a317f07, 0x4f8a14c0, 0x52347b81, 0x53893680, 0x57858831,
    0x5f75cf0c, 0x660af244, 0x675b101a, 0x69fa63f9, 0x6b499a59, 0x6de720d9, 0x71d12d87, 0x799d4896,
};

namespace {

uint32_t rotr(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

uint32_t loadBigEndian(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void storeBigEndian(uint8_t* p, uint32_t x) {
    p[0] = uint8_t(x >> 24);
    p[1] = uint8_t(x >> 16);
    p[2] = uint8_t(x >> 8);
    p[3] = uint8_t(x);
}

} // namespace

SignatureHash::SignatureHash(const uint32_t* words) : words(words) {
    reset();
}

void SignatureHash::reset() {
    std::memcpy(state, words, sizeof state);
    countLow = countHigh = 0;
}

void SignatureHash::compress(const uint8_t block[64]) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = loadBigEndian(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                      words[8 + i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void SignatureHash::finish(uint8_t* out) {
    pad();
    for (int i = 0; i < 8; ++i)
        storeBigEndian(out + 4 * i, state[i]);
}

void signatureHash(const uint8_t* data, size_t length, uint8_t out[signatureHashSize]) {
    SignatureHash hash;
    hash.update(data, length);
    hash.finish(out);
}

} // namespace installer
