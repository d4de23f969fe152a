// The signature check on a fixed signature made with the development key pair (keys/dev.sec),
// so that the convention between signer and installer cannot drift unnoticed.
#include "package/signature.h"
#include "package/signature_public_key.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

template <size_t N> std::array<uint8_t, N> fromHex(const std::string& hex) {
    std::array<uint8_t, N> bytes{};
    for (size_t i = 0; i < N; ++i)
        bytes[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return bytes;
}

const auto devKey = fromHex<32>("575c0c9167df26e650e99526a5b67b4933b4d7f9463eaab2545484fd7dd24a6b");
const auto digest = fromHex<20>("00070e151c232a31383f464d545b626970777e85");
const auto body = fromHex<68>("00070e151c232a31383f464d545b626970777e85"
                              "76d6f3f8422147baebccf2010ca0c5ca"
                              "8fb233d6db6a25ae02d28d8a54704979bd85f28dedd1d9e393be406aa3078a09");

TEST(SignatureCheck, ASignatureMadeWithTheDevelopmentKeyVerifies) {
    EXPECT_TRUE(checkSignatureWithKey(digest.data(), body.data(), devKey.data()));
}

TEST(SignatureCheck, TheInstallerUsesTheKeyChosenAtConfigureTime) {
    bool devBuild = std::memcmp(installerPublicKey, devKey.data(), 32) == 0;
    EXPECT_EQ(checkSignature(digest.data(), body.data()), devBuild);
}

TEST(SignatureCheck, ABodyForAnotherDigestFailsBeforeAnyArithmetic) {
    auto other = digest;
    other[19] ^= 1;
    EXPECT_FALSE(checkSignatureWithKey(other.data(), body.data(), devKey.data()));
}

TEST(SignatureCheck, ChangedRorSFail) {
    for (size_t i = 20; i < 68; ++i) {
        auto changed = body;
        changed[i] ^= 0x40;
        EXPECT_FALSE(checkSignatureWithKey(digest.data(), changed.data(), devKey.data())) << i;
    }
}

TEST(SignatureCheck, KeysThatAreNoUsablePointRejectEverySignature) {
    // Order two, B itself, a point of the twist, and 2^256 - 1 (also on the twist).
    std::array<uint8_t, 32> zero{}, nine{9}, twist{2}, ones;
    ones.fill(0xFF);
    for (const auto& key : {zero, nine, twist, ones})
        EXPECT_FALSE(checkSignatureWithKey(digest.data(), body.data(), key.data()));
}

} // namespace
