// The signature hash: its 72 words follow from their stated derivation, and with the standard
// words in their place the same code is SHA-256 (checked against OpenSSL), so that padding,
// length encoding and incremental input are right for every length.
#include "package/signature/signature_hash.h"
#include "testbed/support/test_bytes.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace installer;

namespace {

using u128 = unsigned __int128;

std::vector<unsigned> primesFrom(unsigned first, size_t count) {
    std::vector<unsigned> primes;
    for (unsigned n = std::max(first, 2u); primes.size() < count; ++n) {
        bool prime = true;
        for (unsigned d = 2; d * d <= n && prime; ++d)
            prime = n % d != 0;
        if (prime)
            primes.push_back(n);
    }
    return primes;
}

// floor(x^(1/degree)) for x < 2^120, by bisection.
uint64_t integerRoot(u128 x, int degree) {
    uint64_t low = 0, high = uint64_t(1) << 41;
    while (high - low > 1) {
        uint64_t mid = low + (high - low) / 2;
        u128 power = 1;
        for (int i = 0; i < degree; ++i)
            power *= mid;
        (power <= x ? low : high) = mid;
    }
    return low;
}

// First 32 bits of the fractional part of the degree-th root of n.
uint32_t rootFraction(unsigned n, int degree) {
    return uint32_t(integerRoot(u128(n) << (32 * degree), degree));
}

TEST(SignatureHash, WordsAreCubeRootFractionsOfThe72PrimesFrom1009) {
    std::vector<unsigned> primes = primesFrom(1000, 72);
    ASSERT_EQ(primes.front(), 1009u);
    ASSERT_EQ(primes.back(), 1511u);
    for (unsigned i = 0; i < signatureHashWordCount; ++i)
        EXPECT_EQ(signatureHashWords[i], rootFraction(primes[i], 3)) << "word " << i;
}

class WithStandardWords : public testing::Test {
protected:
    // SHA-256's own words by its own derivation: square roots of the first 8 primes, cube roots
    // of the first 64.
    WithStandardWords() {
        std::vector<unsigned> primes = primesFrom(2, 64);
        for (int i = 0; i < 8; ++i)
            words[i] = rootFraction(primes[i], 2);
        for (int i = 0; i < 64; ++i)
            words[8 + i] = rootFraction(primes[i], 3);
    }
    uint32_t words[72];
};

TEST_F(WithStandardWords, EveryLengthWholeOrInPiecesAndARestartedHashHashLikeSha256) {
    std::mt19937 random(7);
    SignatureHash hash(words); // each round reuses the hash the round before finished
    for (size_t round = 0; round < 300; ++round) {
        // Every length around the first blocks' boundaries, then longer ones.
        std::string text = randomBytes(random, round <= 200 ? round : random() % 1000);
        auto data = reinterpret_cast<const uint8_t*>(text.data());
        uint8_t expected[32], actual[32];
        SHA256(data, text.size(), expected);
        // Odd rounds in random pieces, even rounds in one.
        for (size_t at = 0, left = text.size(); left > 0;) {
            size_t piece = std::min<size_t>(round % 2 ? random() % 130 : left, left);
            hash.update(data + at, piece);
            at += piece;
            left -= piece;
        }
        hash.finish(actual);
        ASSERT_EQ(0, memcmp(expected, actual, 32)) << "round " << round << " of " << text.size();
    }
}

TEST(SignatureHash, DiffersFromSha256AndDependsOnEveryInputByte) {
    uint8_t input[20] = {}, standard[32], ours[32], changed[32];
    SHA256(input, sizeof input, standard);
    signatureHash(input, sizeof input, ours);
    EXPECT_NE(0, memcmp(standard, ours, 32));
    for (int i = 0; i < 20; ++i) {
        input[i] ^= 1;
        signatureHash(input, sizeof input, changed);
        input[i] ^= 1;
        EXPECT_NE(0, memcmp(ours, changed, 32)) << i;
    }
}

} // namespace
