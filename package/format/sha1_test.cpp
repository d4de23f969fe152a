#include "package/format/sha1.h"

#include "package/format/hex_text.h"
#include "testbed/support/test_bytes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

using namespace installer;

namespace {

std::string sha1Hex(Sha1& h, const std::string& message) {
    h.update(message.data(), message.size());
    uint8_t d[20];
    h.finish(d);
    return hexText(d, 20);
}

std::string referenceHex(const std::string& data, size_t n) {
    uint8_t d[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(data.data(), n, d, &length, EVP_sha1(), nullptr);
    return hexText(d, length);
}

} // namespace

TEST(Sha1, PublishedExamplesEachFromAFinishedHash) {
    Sha1 h;
    h.update("garbage", 7);
    uint8_t d[20];
    h.finish(d); // what follows starts afresh
    EXPECT_EQ(sha1Hex(h, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Hex(h, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1Hex(h, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hex(h, std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

class Sha1Implementations : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!selectSha1Hardware(GetParam()))
            GTEST_SKIP() << "no SHA instructions on this processor";
    }
    void TearDown() override { selectSha1Hardware(true); }
};

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Implementations, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "hardware" : "portable"; });

TEST_P(Sha1Implementations, MatchesReferenceAtEveryLengthAroundBlockBoundaries) {
    std::string data = randomBytes(64 * 6 + 9, 1);
    Sha1 h;
    for (size_t n = 0; n < data.size(); ++n) {
        // Once in one piece, once in uneven pieces that straddle the boundaries.
        h.update(data.data(), n);
        uint8_t whole[20];
        h.finish(whole);
        size_t done = 0, step = 1;
        while (done < n) {
            size_t piece = std::min(step, n - done);
            h.update(data.data() + done, piece);
            done += piece;
            step = step * 3 % 71 + 1;
        }
        uint8_t pieces[20];
        h.finish(pieces);
        std::string expected = referenceHex(data, n);
        ASSERT_EQ(hexText(whole, 20), expected) << "length " << n;
        ASSERT_EQ(hexText(pieces, 20), expected) << "length " << n << " in pieces";
    }
}
