#pragma once
// Package files spoiled the way media spoil them: their header still reads (a menu lists them),
// but the installer child cannot install them.
#include <cstdint>
#include <string>

// One byte near the end flipped: it falls in the signature, which then fails its check.
inline std::string withDamagedEnd(std::string bytes) {
    if (bytes.size() > 10)
        bytes[bytes.size() - 10] = char(bytes[bytes.size() - 10] ^ 0x5a);
    return bytes;
}

// The first `keep` bytes, with the file header's length made to agree: the body ends early.
inline std::string cutShort(std::string bytes, size_t keep) {
    bytes.resize(keep);
    uint32_t length = uint32_t(keep - 8);
    for (int i = 0; i < 4; ++i)
        bytes[4 + size_t(i)] = char(length >> (8 * i));
    return bytes;
}
