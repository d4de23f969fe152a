#include "package/format/block_hash.h"

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
    if (countLow == 0 && countHigh == 0)
        reset();
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

} // namespace installer
