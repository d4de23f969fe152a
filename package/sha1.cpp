#include "package/sha1.h"

#include <cstring>

namespace installer {

void BlockHash::update(const void* data, size_t size) {
    if (countLow == 0 && countHigh == 0)
        reset();
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        size_t used = countLow % 64;
        size_t n = 64 - used;
        if (used == 0 && size >= 64) {
            // Whole blocks straight from the caller's data, no copy.
            n = size - size % 64;
            for (size_t i = 0; i < n; i += 64)
                compress(bytes + i);
        } else {
            if (n > size)
                n = size;
            std::memcpy(block + used, bytes, n);
            if (used + n == 64)
                compress(block);
        }
        uint32_t before = countLow;
        countLow += uint32_t(n);
        countHigh += uint32_t(uint64_t(n) >> 32) + (countLow < before ? 1 : 0);
        bytes += n;
        size -= n;
    }
}

void BlockHash::pad() {
    uint64_t bits = byteCount() * 8;
    size_t used = countLow % 64;
    block[used++] = 0x80;
    if (used > 56) {
        std::memset(block + used, 0, 64 - used);
        compress(block);
        used = 0;
    }
    std::memset(block + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i)
        block[56 + i] = uint8_t(bits >> (56 - 8 * i));
    compress(block);
    countLow = countHigh = 0;
}

void Sha1::reset() {
    state[0] = 0x67452301;
    state[1] = 0xEFCDAB89;
    state[2] = 0x98BADCFE;
    state[3] = 0x10325476;
    state[4] = 0xC3D2E1F0;
    countLow = countHigh = 0;
}

namespace {

inline uint32_t rol(uint32_t x, int n) {
    return x << n | x >> (32 - n);
}

} // namespace

void Sha1::compress(const uint8_t data[64]) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(data[4 * i]) << 24 | uint32_t(data[4 * i + 1]) << 16 |
               uint32_t(data[4 * i + 2]) << 8 | data[4 * i + 3];
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    // The schedule lives in a 16-word ring; word t is computed just before round t uses it.
    auto schedule = [&w](int t) {
        uint32_t x = w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15];
        return w[t & 15] = rol(x, 1);
    };
    auto round = [&](uint32_t f, uint32_t k, uint32_t wt) {
        uint32_t t = rol(a, 5) + f + e + k + wt;
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    };
    for (int t = 0; t < 16; ++t)
        round((b & c) | (~b & d), 0x5A827999, w[t]);
    for (int t = 16; t < 20; ++t)
        round((b & c) | (~b & d), 0x5A827999, schedule(t));
    for (int t = 20; t < 40; ++t)
        round(b ^ c ^ d, 0x6ED9EBA1, schedule(t));
    for (int t = 40; t < 60; ++t)
        round((b & c) | (b & d) | (c & d), 0x8F1BBCDC, schedule(t));
    for (int t = 60; t < 80; ++t)
        round(b ^ c ^ d, 0xCA62C1D6, schedule(t));
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void Sha1::finish(uint8_t* digest) {
    if (countLow == 0 && countHigh == 0)
        reset();
    pad();
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = uint8_t(state[i] >> (24 - 8 * j));
}

} // namespace installer
