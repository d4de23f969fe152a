// The signer against the installer's check: key pairs whose point (by plain point arithmetic)
// is the one the check rebuilds, signatures that verify for many keys and digests and fail for
// every changed byte or another key, and key files.
#include "tools/rpx/signer.h"

#include "package/signature/signature.h"
#include "package/signature/signature_ladder.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/test_bytes.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace installer;

namespace {

using Bytes = std::array<uint8_t, 32>;
using Body = std::array<uint8_t, 68>;
using Digest = std::array<uint8_t, 20>;

struct KeyPair {
    Bytes secret, publicKey;
};

KeyPair newKeyPair() {
    KeyPair pair;
    EXPECT_TRUE(generateKeyPair(pair.secret.data(), pair.publicKey.data()));
    return pair;
}

Body sign(const KeyPair& pair, const Digest& digest) {
    Body body;
    EXPECT_TRUE(signDigest(pair.secret.data(), digest.data(), body.data()));
    return body;
}

bool verifies(const KeyPair& pair, const Digest& digest, const Body& body) {
    return checkSignatureWithKey(digest.data(), body.data(), pair.publicKey.data());
}

// Each new key is the even point the check rebuilds, and its signatures differ each time and
// verify under it alone.
TEST(Signer, NewKeysAndTheirSignaturesOfManyDigestsAsTheCheckSeesThem) {
    std::mt19937 random(21);
    KeyPair previous = newKeyPair();
    for (int i = 0; i < 12; ++i) {
        KeyPair pair = newKeyPair();
        CurvePoint q = curveMultiple(curveBasePoint(), pair.secret.data());
        Bytes u, again;
        fieldToBytes(u.data(), q.u);
        EXPECT_EQ(u, pair.publicKey);
        EXPECT_FALSE(fieldIsOdd(q.v));
        EXPECT_TRUE(publicKeyFromSecret(pair.secret.data(), again.data()));
        EXPECT_EQ(again, pair.publicKey);
        for (int j = 0; j < 6; ++j) {
            Digest digest = randomArray<20>(random);
            Body body = sign(pair, digest);
            ASSERT_TRUE(verifies(pair, digest, body)) << "key " << i << " digest " << j;
            EXPECT_FALSE(verifies(previous, digest, body));
            Body again = sign(pair, digest); // with a fresh nonce: another body that verifies
            EXPECT_NE(again, body);
            EXPECT_TRUE(verifies(pair, digest, again));
        }
        previous = pair;
    }
}

TEST(Signer, EveryChangedByteOfTheBodyOrTheDigestIsRejected) {
    std::mt19937 random(22);
    KeyPair pair = newKeyPair();
    Digest digest = randomArray<20>(random);
    Body body = sign(pair, digest);
    ASSERT_TRUE(verifies(pair, digest, body));
    for (size_t i = 0; i < body.size(); ++i) {
        for (uint8_t change : {uint8_t(0x01), uint8_t(0x80), uint8_t(1 + random() % 255)}) {
            Body changed = body;
            changed[i] ^= change;
            EXPECT_FALSE(verifies(pair, digest, changed)) << "byte " << i;
        }
    }
    for (size_t i = 0; i < digest.size(); ++i) {
        Digest changed = digest;
        changed[i] ^= 0x10;
        EXPECT_FALSE(verifies(pair, changed, body)) << "digest byte " << i;
        // Even when the body carries the changed digest: r and s no longer fit.
        Body withChanged = body;
        std::copy(changed.begin(), changed.end(), withChanged.begin());
        EXPECT_FALSE(verifies(pair, changed, withChanged)) << "digest byte " << i;
    }
}

TEST(Signer, SecretsThatNoKeyPairHasAreRefused) {
    Bytes zero{}, publicKey;
    Bytes order = fromHex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    EXPECT_FALSE(publicKeyFromSecret(zero.data(), publicKey.data()));
    EXPECT_FALSE(publicKeyFromSecret(order.data(), publicKey.data()));
    // x and L - x share a u; only one of them has the even v.
    KeyPair pair = newKeyPair();
    Bytes negated, unused{};
    uint8_t one[32] = {1};
    scalarMulSub(negated.data(), unused.data(), one, pair.secret.data());
    EXPECT_FALSE(publicKeyFromSecret(negated.data(), publicKey.data()));
}

class KeyFiles : public testing::Test {
protected:
    bool readBack(const std::string& text, std::string& error) {
        std::ofstream(dir + "/bad") << text;
        Bytes key;
        return readKeyFile(dir + "/bad", key.data(), error);
    }
    ScratchFolder scratch{"signer-keys"};
    std::string dir = scratch.path;
};

TEST_F(KeyFiles, KeysAreHexWithANewlineAndSecretsAreOwnerOnlyAndNeverOverwritten) {
    KeyPair pair = newKeyPair();
    std::string error;
    ASSERT_TRUE(writeKeyFile(dir + "/secret", pair.secret.data(), true, error)) << error;
    ASSERT_TRUE(writeKeyFile(dir + "/public", pair.publicKey.data(), false, error)) << error;
    struct stat st;
    ASSERT_EQ(stat((dir + "/secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = fileContents(dir + "/public");
    ASSERT_EQ(text.size(), 65u);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), 64u);
    EXPECT_EQ(text.back(), '\n');
    Bytes secret, publicKey;
    ASSERT_TRUE(readKeyFile(dir + "/secret", secret.data(), error)) << error;
    ASSERT_TRUE(readKeyFile(dir + "/public", publicKey.data(), error)) << error;
    EXPECT_EQ(secret, pair.secret);
    EXPECT_EQ(publicKey, pair.publicKey);
    // An existing secret key is never overwritten.
    EXPECT_FALSE(writeKeyFile(dir + "/secret", pair.publicKey.data(), true, error));
    EXPECT_NE(error.find(dir + "/secret: "), std::string::npos) << error;
    ASSERT_TRUE(readKeyFile(dir + "/secret", secret.data(), error));
    EXPECT_EQ(secret, pair.secret);
}

TEST_F(KeyFiles, MalformedKeyFilesAreRefusedNamingTheFile) {
    std::string hex(64, 'a'), error;
    EXPECT_TRUE(readBack(hex, error));
    EXPECT_TRUE(readBack(hex + "\r\n", error));
    EXPECT_TRUE(readBack(std::string(64, 'F') + "\n", error));
    for (const std::string& bad :
         {std::string(), hex.substr(1) + "\n", hex + "a\n", hex + "\nmore", "g" + hex.substr(1),
          " " + hex.substr(1), std::string(32, '\0')}) {
        error.clear();
        EXPECT_FALSE(readBack(bad, error)) << bad;
        EXPECT_EQ(error.rfind(dir + "/bad: ", 0), 0u) << error;
    }
    Bytes key;
    EXPECT_FALSE(readKeyFile(dir + "/missing", key.data(), error));
    EXPECT_NE(error.find("/missing: No such file"), std::string::npos) << error;
}

} // namespace
