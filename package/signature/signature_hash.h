// The signature hash H: SHA-256's message schedule, compression function, padding and output,
// with its own 72 words (8 initial chaining words, then 64 round constants). Signatures hash
// with it so that a digest made for any other purpose can never stand in for one of ours.
//
// Derivation of the words, reproducible with a few lines of integer arithmetic: take the 72
// consecutive primes from 1009 (the first prime above 1000) up to 1511; word i is the first 32
// bits of the fractional part of the cube root of the i-th of them, that is
//     word[i] = floor(cbrt(prime[i] * 2^96)) mod 2^32.
// Words 0-7 are the initial chaining value, words 8-71 the round constants in round order.
#pragma once

#include "package/format/block_hash.h"

#include <cstddef>
#include <cstdint>

namespace installer {

constexpr unsigned signatureHashSize = 32;
constexpr unsigned signatureHashWordCount = 72;

// The 72 words described above.
extern const uint32_t signatureHashWords[signatureHashWordCount];

// Incremental form; the signature code only ever hashes 20 or 32 bytes, but the signer and the
// tests hash longer input.
class SignatureHash final : public installer::BlockHash {
public:
    // `words` replaces the 72 words; only tests use it, to run the same code with other tables.
    explicit SignatureHash(const uint32_t* words = signatureHashWords);
    void reset() override;
    void compress(const uint8_t block[64]) override;
    unsigned digestSize() const override { return signatureHashSize; }
    // Writes 32 bytes.
    void finish(uint8_t* out) override;

private:
    const uint32_t* words;
    uint32_t state[8];
};

void signatureHash(const uint8_t* data, size_t length, uint8_t out[signatureHashSize]);

} // namespace installer
