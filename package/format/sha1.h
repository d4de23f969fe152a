// SHA-1 that restarts by itself: after finish() the byte count is zero, and the next update()
// begins a new message. The package reader relies on this to produce one digest per package
// without being told where packages begin.
#pragma once

#include "package/format/block_hash.h"

namespace installer {

class Sha1 final : public BlockHash {
public:
    static constexpr unsigned size = 20;

    Sha1() { reset(); }
    void reset() override;
    void compress(const uint8_t block[64]) override;
    unsigned digestSize() const override { return size; }
    // Writes 20 bytes. Finishing a hash that received nothing since the last finish gives the
    // digest of the empty message.
    void finish(uint8_t* digest) override;

private:
    uint32_t state[5];
};

// Chooses between the processor's SHA instructions (where there are any; the default) and
// portable code, for tests of both. Returns whether the chosen kind is in use.
bool selectSha1Hardware(bool hardware);

} // namespace installer
