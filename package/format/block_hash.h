// What hashes over 64-byte blocks with a 64-bit message length have in common: buffering the
// input into blocks and the final padding. Such a hash restarts by itself: after finish() the
// byte count is zero, and the next update() begins a new message.
#pragma once

#include <cstddef>
#include <cstdint>

namespace installer {

class BlockHash {
public:
    virtual void reset() = 0;
    virtual void compress(const uint8_t block[64]) = 0;
    virtual ~BlockHash() = default;
    virtual unsigned digestSize() const = 0;
    virtual void finish(uint8_t* digest) = 0;

    void update(const void* data, size_t size);
    uint64_t byteCount() const { return uint64_t(countHigh) << 32 | countLow; }

protected:
    // Pads the message (0x80, zeros, the bit count big-endian in the last 8 bytes) and
    // compresses the final block or two; the count is left at zero. A message that received
    // nothing since the last finish is the empty message.
    void pad();

    uint32_t countLow = 0, countHigh = 0;
    uint8_t block[64] = {};
};

} // namespace installer
