#include "testbed/support/package_drafts.h"

#include "package/format/sha1.h"
#include "package/format/writer.h"
#include "tools/rpx/signer.h"

#include <gtest/gtest.h>

namespace testsign {

std::string signParts(const std::string& parts) {
    static uint8_t secret[32];
    static bool loaded = [] {
        std::string error;
        return readKeyFile(DEV_SECRET_KEY, secret, error);
    }();
    EXPECT_TRUE(loaded) << DEV_SECRET_KEY;
    std::string header = installer::partHeaderBytes(installer::partSignature, 68);
    installer::Sha1 hash;
    hash.update(parts.data(), parts.size());
    hash.update(header.data(), header.size());
    uint8_t digest[20], body[68];
    hash.finish(digest);
    EXPECT_TRUE(signDigest(secret, digest, body));
    return parts + header + std::string(reinterpret_cast<char*>(body), sizeof body);
}

} // namespace testsign

std::string testpkg::Draft::signedFile(uint32_t magic) const {
    return packageFileBytes(testsign::signParts(parts()), magic);
}
