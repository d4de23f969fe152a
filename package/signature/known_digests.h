// SHA-1 digests of the unsigned packages this build accepts. The table is release data, made at
// build time from a text file (cmake/KnownDigests.cmake) and searched in table order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace installer {

// At most this many entries; a longer list does not build.
constexpr size_t knownDigestCapacity = 1227;

extern const uint8_t knownDigestTable[][20];
extern const size_t knownDigestCount;

// True when `digest` equals one of the first `count` entries of `table`.
bool findKnownDigest(const uint8_t (*table)[20], size_t count, const uint8_t digest[20]);

} // namespace installer
