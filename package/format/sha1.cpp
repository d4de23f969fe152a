#include "package/format/sha1.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA1_HARDWARE 1
#endif

namespace installer {

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

namespace {

// Round function and constant of each quarter of the 80 rounds.
template <int Quarter> inline uint32_t mix(uint32_t b, uint32_t c, uint32_t d) {
    if constexpr (Quarter == 0)
        return d ^ (b & (c ^ d));
    else if constexpr (Quarter == 2)
        return (b & c) | (d & (b | c));
    else
        return b ^ c ^ d;
}
constexpr uint32_t roundConstant[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

// One round, written so that the five words rotate through the arguments instead of being
// moved: five calls with shifted arguments bring the words back to their places.
template <int Quarter>
inline void step(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
    e += rol(a, 5) + mix<Quarter>(b, c, d) + roundConstant[Quarter] + w;
    b = rol(b, 30);
}

// Message word t (16 and later), kept in a 16-word ring.
inline uint32_t schedule(uint32_t w[16], int t) {
    uint32_t x = w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15];
    return w[t & 15] = rol(x, 1);
}

template <int Quarter>
inline void fiveRounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e,
                       uint32_t w[16], int t) {
    auto word = [w](int i) { return i < 16 ? w[i] : schedule(w, i); };
    step<Quarter>(a, b, c, d, e, word(t));
    step<Quarter>(e, a, b, c, d, word(t + 1));
    step<Quarter>(d, e, a, b, c, word(t + 2));
    step<Quarter>(c, d, e, a, b, word(t + 3));
    step<Quarter>(b, c, d, e, a, word(t + 4));
}

void compressPortable(uint32_t state[5], const uint8_t data[64]) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(data[4 * i]) << 24 | uint32_t(data[4 * i + 1]) << 16 |
               uint32_t(data[4 * i + 2]) << 8 | data[4 * i + 3];
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 20; t += 5)
        fiveRounds<0>(a, b, c, d, e, w, t);
    for (int t = 20; t < 40; t += 5)
        fiveRounds<1>(a, b, c, d, e, w, t);
    for (int t = 40; t < 60; t += 5)
        fiveRounds<2>(a, b, c, d, e, w, t);
    for (int t = 60; t < 80; t += 5)
        fiveRounds<3>(a, b, c, d, e, w, t);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

#ifdef SHA1_HARDWARE
// The same compression with the processor's SHA instructions. Message words go in groups of
// four: W[g] = msg2(msg1(W[g-4], W[g-3]) ^ W[g-2], W[g-1]); each group is four rounds.
#define SHA1_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The message words of group g, with e added to the first, and the state it was added from.
SHA1_TARGET inline __m128i nextGroup(__m128i w[4], int g, __m128i& previous, __m128i abcd) {
    if (g >= 4)
        w[g & 3] = _mm_sha1msg2_epu32(
            _mm_xor_si128(_mm_sha1msg1_epu32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3]),
            w[(g + 3) & 3]);
    __m128i ew = _mm_sha1nexte_epu32(previous, w[g & 3]);
    previous = abcd;
    return ew;
}

SHA1_TARGET void compressHardware(uint32_t state[5], const uint8_t data[64]) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e = _mm_set_epi32(int(state[4]), 0, 0, 0);
    const __m128i abcdSaved = abcd, eSaved = e;
    __m128i w[4];
    for (int i = 0; i < 4; ++i)
        w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                byteSwap);
    __m128i previous = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e, w[0]), 0);
    for (int g = 1; g < 5; ++g)
        abcd = _mm_sha1rnds4_epu32(abcd, nextGroup(w, g, previous, abcd), 0);
    for (int g = 5; g < 10; ++g)
        abcd = _mm_sha1rnds4_epu32(abcd, nextGroup(w, g, previous, abcd), 1);
    for (int g = 10; g < 15; ++g)
        abcd = _mm_sha1rnds4_epu32(abcd, nextGroup(w, g, previous, abcd), 2);
    for (int g = 15; g < 20; ++g)
        abcd = _mm_sha1rnds4_epu32(abcd, nextGroup(w, g, previous, abcd), 3);
    e = _mm_add_epi32(_mm_sha1nexte_epu32(previous, _mm_setzero_si128()), eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = uint32_t(_mm_extract_epi32(e, 3));
}

bool hasShaInstructions() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1))
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29));
}
#endif

using CompressFunction = void (*)(uint32_t*, const uint8_t*);

CompressFunction chooseCompress() {
#ifdef SHA1_HARDWARE
    if (hasShaInstructions())
        return compressHardware;
#endif
    return compressPortable;
}

CompressFunction& compressBlock() {
    static CompressFunction chosen = chooseCompress();
    return chosen;
}

} // namespace

bool selectSha1Hardware(bool hardware) {
    if (!hardware) {
        compressBlock() = compressPortable;
        return true;
    }
    compressBlock() = chooseCompress();
    return compressBlock() != compressPortable;
}

void Sha1::compress(const uint8_t data[64]) {
    compressBlock()(state, data);
}

void Sha1::finish(uint8_t* digest) {
    pad();
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = uint8_t(state[i] >> (24 - 8 * j));
}

} // namespace installer
