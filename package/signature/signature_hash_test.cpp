// The signature hash: its 72 words follow from their stated derivation, and with the standard
// words in their place the same code is SHA-256 (checked against OpenSSL), so that padding,
// length encoding and incremental input are right for every length.
#include "package/signature/signature_hash.h"
#include "testbed/support/test_bytes.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <vector>

using namespace installer;

namespace {

using u128 = unsigned __int128;

bool isPrime(unsigned n) {
    if (n < 2)
        return false;
    for (unsigned d = 2; d * d <= n; ++d)
        if (n % d == 0)
            return false;
    return true;
}

std::vector<unsigned> primesFrom(unsigned first, size_t count) {
    std::vector<unsigned> primes;
    for (unsigned n = first; primes.size() < count; ++n)
        if (isPrime(n))
            primes.push_back(n);
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

TEST_F(WithStandardWords, EveryLengthAroundTheBlockBoundariesHashesLikeSha256) {
    std::mt19937 random(7);
    for (size_t length = 0; length <= 200; ++length) {
        std::string text = randomBytes(random, length);
        std::vector<uint8_t> data(text.begin(), text.end());
        uint8_t expected[32], actual[32];
        SHA256(data.data(), data.size(), expected);
        SignatureHash hash(words);
        hash.update(data.data(), data.size());
        hash.finish(actual);
        ASSERT_EQ(0, memcmp(expected, actual, 32)) << "length " << length;
    }
}

TEST_F(WithStandardWords, InputInRandomPiecesAndARestartedHashGiveTheSameDigest) {
    std::mt19937 random(8);
    SignatureHash hash(words);
    for (int round = 0; round < 50; ++round) {
        std::string text = randomBytes(random, random() % 1000);
        std::vector<uint8_t> data(text.begin(), text.end());
        uint8_t expected[32], actual[32];
        SHA256(data.data(), data.size(), expected);
        for (size_t at = 0; at < data.size();) {
            size_t piece = std::min<size_t>(random() % 130, data.size() - at);
            hash.update(data.data() + at, piece);
            at += piece;
        }
        hash.finish(actual); // and the next round reuses the finished hash
        ASSERT_EQ(0, memcmp(expected, actual, 32)) << "round " << round;
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
