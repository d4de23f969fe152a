#include "package/signature/known_digests.h"

#include <cstring>

namespace installer {

bool findKnownDigest(const uint8_t (*table)[20], size_t count, const uint8_t digest[20]) {
    for (size_t i = 0; i < count; ++i)
        if (std::memcmp(table[i], digest, 20) == 0)
            return true;
    return false;
}

} // namespace installer
