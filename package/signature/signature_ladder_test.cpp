// Curve arithmetic of the signature check: the one-scalar ladder against the X25519 test vectors
// of RFC 7748, the base point's v, and the two-scalar ladder against multiples of B
// worked out with big numbers (Q = [x]B, so [s]B + [k]Q = [s + kx]B up to the sign of Q).
#include "package/signature/signature_ladder.h"
#include "testbed/support/test_bytes.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <random>
#include <string>

using namespace installer;

namespace {

using Bytes = std::array<uint8_t, 32>;

Bytes ladder(const Bytes& scalar, const Bytes& u) {
    Bytes out;
    montgomeryLadder(out.data(), scalar.data(), u.data());
    return out;
}

Bytes x25519(Bytes scalar, Bytes u) {
    scalar[0] &= 0xF8;
    scalar[31] = (scalar[31] & 0x7F) | 0x40;
    u[31] &= 0x7F;
    return ladder(scalar, u);
}

const Bytes base{9};

TEST(MontgomeryLadder, ReproducesTheRfc7748Vectors) {
    EXPECT_EQ(
        x25519(fromHex<32>("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"),
               fromHex<32>("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c")),
        fromHex<32>("c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"));

    Bytes alice = fromHex<32>("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    Bytes bob = fromHex<32>("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    Bytes alicePublic = x25519(alice, base), bobPublic = x25519(bob, base);
    EXPECT_EQ(alicePublic,
              fromHex<32>("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
    EXPECT_EQ(bobPublic,
              fromHex<32>("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
    Bytes shared = fromHex<32>("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    EXPECT_EQ(x25519(alice, bobPublic), shared);
    EXPECT_EQ(x25519(bob, alicePublic), shared);
}

TEST(MontgomeryLadder, IteratedRfc7748VectorAfterOneAndAThousandRounds) {
    Bytes k = base, u = base;
    for (int i = 1; i <= 1000; ++i) {
        Bytes next = x25519(k, u);
        u = k;
        k = next;
        if (i == 1) {
            EXPECT_EQ(
                k, fromHex<32>("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"));
        }
    }
    EXPECT_EQ(k, fromHex<32>("684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"));
}

TEST(SignatureCurve, BaseVIsTheEvenRootOfTheCurveAtNine) {
    FieldElement nine = fieldFromInt(9);
    FieldElement rhs = fieldAdd(fieldMul(fieldSquare(nine), nine),
                                fieldAdd(fieldMulSmall(fieldSquare(nine), 486662), nine));
    FieldElement root;
    ASSERT_TRUE(fieldSqrtEven(root, fieldCarry(rhs)));
    Bytes encoded;
    fieldToBytes(encoded.data(), root);
    EXPECT_EQ(encoded, Bytes(std::to_array(signatureBaseV)));
}

// [s + kx]B or [s - kx]B, by big numbers modulo the order L of B.
class Multiples {
public:
    Multiples() : ctx(BN_CTX_new()), order(BN_new()) {
        BN_dec2bn(&order,
                  "7237005577332262213973186563042994240857116359379907606001950938285454250989");
    }
    ~Multiples() {
        BN_free(order);
        BN_CTX_free(ctx);
    }
    Bytes combined(const Bytes& s, const Bytes& k, const Bytes& x, bool minus) {
        BN_CTX_start(ctx);
        auto number = [&](const Bytes& b) { return BN_lebin2bn(b.data(), 32, BN_CTX_get(ctx)); };
        BIGNUM *bs = number(s), *r = BN_CTX_get(ctx);
        BN_mod_mul(r, number(k), number(x), order, ctx);
        (minus ? BN_mod_sub : BN_mod_add)(r, bs, r, order, ctx);
        Bytes n{};
        BN_bn2lebinpad(r, n.data(), 32);
        BN_CTX_end(ctx);
        return ladder(n, base);
    }

private:
    BN_CTX* ctx;
    BIGNUM* order;
};

Bytes twoScalar(const SignatureKey& key, const Bytes& s, const Bytes& k) {
    Bytes u{};
    EXPECT_TRUE(twoScalarMultiple(u.data(), key, s.data(), k.data()));
    return u;
}

// Scalars whose bit pairs run long stretches of equal or unequal bits, and plain random ones.
Bytes patterned(std::mt19937& random, int style) {
    Bytes b = randomArray<32>(random);
    if (style == 1)
        for (auto& x : b)
            x = random() % 3 == 0 ? 0x00 : 0xFF;
    if (style == 2)
        b.fill(uint8_t(random() % 2 ? 0xFF : 0x00));
    return b;
}

TEST(TwoScalarLadder, GivesSPlusKTimesXForManyKeysAndScalars) {
    std::mt19937 random(12);
    Multiples multiples;
    for (int keyIndex = 0; keyIndex < 12; ++keyIndex) {
        Bytes x = randomArray<32>(random);
        x[31] &= 0x0F;
        Bytes q = ladder(x, base);
        SignatureKey key;
        ASSERT_TRUE(signatureKeyFromBytes(key, q.data()));
        // Q is [x]B or [-x]B, whichever has the even v; it must stay the same for every pair.
        int sign = 0;
        for (int i = 0; i < 20; ++i) {
            Bytes s = patterned(random, i % 3), k = patterned(random, (i / 3) % 3);
            Bytes u = twoScalar(key, s, k);
            bool plus = u == multiples.combined(s, k, x, false);
            bool minus = u == multiples.combined(s, k, x, true);
            ASSERT_TRUE(plus || minus) << "key " << keyIndex << " pair " << i;
            if (plus != minus) {
                int now = plus ? 1 : -1;
                ASSERT_TRUE(sign == 0 || sign == now) << "key " << keyIndex << " pair " << i;
                sign = now;
            }
        }
    }
}

TEST(TwoScalarLadder, ZeroAndSmallScalarsAndTheTopBit) {
    std::mt19937 random(13);
    Bytes x = randomArray<32>(random);
    x[31] &= 0x0F;
    Bytes q = ladder(x, base);
    SignatureKey key;
    ASSERT_TRUE(signatureKeyFromBytes(key, q.data()));
    Bytes zero{}, one{1}, two{2}, ones;
    ones.fill(0xFF);
    EXPECT_EQ(twoScalar(key, zero, zero), zero); // the point at infinity encodes as 0
    EXPECT_EQ(twoScalar(key, one, zero), base);
    EXPECT_EQ(twoScalar(key, zero, one), q);
    EXPECT_EQ(twoScalar(key, ones, zero), ladder(ones, base));
    EXPECT_EQ(twoScalar(key, zero, two), ladder(two, q));
    EXPECT_EQ(twoScalar(key, zero, ones), ladder(ones, q));
}

} // namespace
