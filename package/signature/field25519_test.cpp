// Field arithmetic modulo 2^255 - 19 against OpenSSL's big numbers on random and edge values.
#include "package/signature/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

using namespace installer;

namespace {

using Bytes = std::array<uint8_t, 32>;

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

class FieldReference {
public:
    FieldReference() : p(BN_new()), ctx(BN_CTX_new()) {
        BN_set_bit(p.get(), 255);
        BN_sub_word(p.get(), 19);
    }
    ~FieldReference() { BN_CTX_free(ctx); }

    Bn fromBytes(const Bytes& b) const {
        Bn n(BN_lebin2bn(b.data(), 32, nullptr));
        BN_nnmod(n.get(), n.get(), p.get(), ctx);
        return n;
    }
    Bytes toBytes(const BIGNUM* n) const {
        Bytes b{};
        BN_bn2lebinpad(n, b.data(), 32);
        return b;
    }
    using Operation = int (*)(BIGNUM*, const BIGNUM*, const BIGNUM*, const BIGNUM*, BN_CTX*);
    Bytes apply(Operation operation, const Bytes& a, const Bytes& b) const {
        Bn r(BN_new());
        operation(r.get(), fromBytes(a).get(), fromBytes(b).get(), p.get(), ctx);
        return toBytes(r.get());
    }
    Bytes mul(const Bytes& a, const Bytes& b) const { return apply(BN_mod_mul, a, b); }
    Bytes add(const Bytes& a, const Bytes& b) const { return apply(BN_mod_add, a, b); }
    Bytes sub(const Bytes& a, const Bytes& b) const { return apply(BN_mod_sub, a, b); }
    Bytes inverse(const Bytes& a) const {
        Bn r(BN_new());
        Bn x = fromBytes(a);
        if (BN_is_zero(x.get()))
            return Bytes{};
        BN_mod_inverse(r.get(), x.get(), p.get(), ctx);
        return toBytes(r.get());
    }
    Bytes reduce(const Bytes& a) const { return toBytes(fromBytes(a).get()); }
    bool isSquare(const Bytes& a) const {
        Bn x = fromBytes(a);
        if (BN_is_zero(x.get()))
            return true;
        return BN_kronecker(x.get(), p.get(), ctx) == 1;
    }

private:
    Bn p;
    BN_CTX* ctx;
};

Bytes encode(const FieldElement& f) {
    Bytes b;
    fieldToBytes(b.data(), f);
    return b;
}

FieldElement decode(const Bytes& b) {
    return fieldFromBytes(b.data());
}

// All ones but for the lowest and the highest byte: p - 1, p and p + 1 have top 0x7F.
Bytes ones(uint8_t low, uint8_t top) {
    Bytes b;
    b.fill(0xFF);
    b[0] = low;
    b[31] = top;
    return b;
}

// 0, 1, p-1, p, p+1, 2^255-1, 2^256-1, and 2^n - 1 and 2^n at the limb boundaries of both
// representations.
std::vector<Bytes> edgeValues() {
    std::vector<Bytes> all = {Bytes{},          Bytes{1},         ones(0xEC, 0x7F),
                              ones(0xED, 0x7F), ones(0xEE, 0x7F), ones(0xFF, 0x7F),
                              ones(0xFF, 0xFF)};
    for (int n : {25, 26, 51, 52, 77, 102, 103, 128, 153, 179, 204, 230, 255}) {
        Bytes power{}, belowPower{};
        power[n / 8] = uint8_t(1 << (n % 8));
        for (int bit = 0; bit < n; ++bit)
            belowPower[bit / 8] |= uint8_t(1 << (bit % 8));
        all.push_back(power);
        all.push_back(belowPower);
    }
    return all;
}

// Random values, with a share of edge values and of values made of long runs of ones or zeros.
Bytes nextValue(std::mt19937& random) {
    static const std::vector<Bytes> edges = edgeValues();
    unsigned kind = random() % 8;
    if (kind == 0)
        return edges[random() % edges.size()];
    Bytes b;
    for (auto& x : b)
        x = kind == 1 ? (random() % 2 ? 0xFF : 0x00) : uint8_t(random());
    return b;
}

// The tests below run against whichever representation this binary was built with.
TEST(FieldArithmetic, HostsWithWideProductsUseFiveLimbsUnlessTenAreAskedFor) {
#if defined(FIELD25519_TEN_LIMBS) || !defined(__SIZEOF_INT128__)
    EXPECT_STREQ(fieldRepresentation(), "ten limbs of 26 and 25 bits");
#else
    EXPECT_STREQ(fieldRepresentation(), "five limbs of 51 bits");
#endif
}

TEST(FieldArithmetic, EncodingReducesEveryTwoHundredFiftySixBitValue) {
    FieldReference ref;
    std::mt19937 random(1);
    for (int i = 0; i < 2000; ++i) {
        Bytes a = nextValue(random);
        ASSERT_EQ(encode(decode(a)), ref.reduce(a)) << i;
    }
}

TEST(FieldArithmetic, ProductsSumsAndDifferencesMatchBigNumbers) {
    FieldReference ref;
    std::mt19937 random(2);
    for (int i = 0; i < 3000; ++i) {
        Bytes a = nextValue(random), b = nextValue(random), c = nextValue(random),
              d = nextValue(random);
        FieldElement fa = decode(a), fb = decode(b), fc = decode(c), fd = decode(d);
        ASSERT_EQ(encode(fieldMul(fa, fb)), ref.mul(a, b));
        ASSERT_EQ(encode(fieldSquare(fa)), ref.mul(a, a));
        ASSERT_EQ(encode(fieldAdd(fa, fb)), ref.add(a, b));
        ASSERT_EQ(encode(fieldSub(fa, fb)), ref.sub(a, b));
        ASSERT_EQ(encode(fieldNeg(fa)), ref.sub(Bytes{}, a));
        ASSERT_EQ(encode(fieldMulSmall(fa, 121665)), ref.mul(a, Bytes{0x41, 0xDB, 0x01}));
        // Uncarried sums and differences go straight into products, as the ladder does.
        ASSERT_EQ(encode(fieldMul(fieldAdd(fa, fb), fieldSub(fc, fd))),
                  ref.mul(ref.add(a, b), ref.sub(c, d)));
        ASSERT_EQ(encode(fieldSquare(fieldSub(fa, fb))), ref.mul(ref.sub(a, b), ref.sub(a, b)));
    }
}

TEST(FieldArithmetic, EveryPairOfEdgeValuesMatchesBigNumbers) {
    FieldReference ref;
    const std::vector<Bytes> edges = edgeValues();
    for (const Bytes& a : edges) {
        FieldElement fa = decode(a);
        ASSERT_EQ(encode(fieldNeg(fa)), ref.sub(Bytes{}, a));
        ASSERT_EQ(encode(fieldCarry(fieldNeg(fa))), ref.sub(Bytes{}, a));
        for (const Bytes& b : edges) {
            FieldElement fb = decode(b);
            ASSERT_EQ(encode(fieldMul(fa, fb)), ref.mul(a, b));
            ASSERT_EQ(encode(fieldSub(fa, fb)), ref.sub(a, b));
            ASSERT_EQ(encode(fieldMul(fieldSub(fa, fb), fieldAdd(fa, fb))),
                      ref.mul(ref.sub(a, b), ref.add(a, b)));
            ASSERT_EQ(encode(fieldSquare(fieldAdd(fa, fb))), ref.mul(ref.add(a, b), ref.add(a, b)));
        }
    }
}

TEST(FieldArithmetic, LongChainsOfProductsStayExact) {
    FieldReference ref;
    std::mt19937 random(3);
    Bytes a = nextValue(random), expected = a;
    FieldElement f = decode(a);
    for (int i = 0; i < 5000; ++i) {
        Bytes b = nextValue(random);
        f = fieldSub(fieldSquare(fieldAdd(f, decode(b))), decode(a));
        expected = ref.sub(ref.mul(ref.add(expected, b), ref.add(expected, b)), a);
    }
    EXPECT_EQ(encode(f), expected);
}

TEST(FieldArithmetic, InverseTimesValueIsOneAndZeroHasNoInverse) {
    FieldReference ref;
    std::mt19937 random(4);
    for (int i = 0; i < 300; ++i) {
        Bytes a = nextValue(random);
        ASSERT_EQ(encode(fieldInvert(decode(a))), ref.inverse(a));
    }
    EXPECT_EQ(encode(fieldInvert(fieldFromInt(0))), Bytes{});
}

TEST(FieldArithmetic, RootsAndInverseRootsExistExactlyForSquaresAndRootsAreEven) {
    FieldReference ref;
    std::mt19937 random(5);
    int squares = 0;
    for (int i = 0; i < 400; ++i) {
        Bytes a = nextValue(random);
        FieldElement root, inverseRoot;
        bool found = fieldSqrtEven(root, decode(a));
        bool zero = ref.reduce(a) == Bytes{};
        ASSERT_EQ(found, ref.isSquare(a)) << i;
        ASSERT_EQ(fieldInverseSqrt(inverseRoot, decode(a)), found && !zero) << i;
        if (!found || zero)
            continue;
        ++squares;
        ASSERT_EQ(encode(fieldSquare(root)), ref.reduce(a));
        ASSERT_EQ(encode(root)[0] & 1, 0);
        ASSERT_FALSE(fieldIsOdd(root));
        ASSERT_EQ(encode(fieldMul(decode(a), fieldSquare(inverseRoot))), Bytes{1});
    }
    EXPECT_GT(squares, 100);
}

} // namespace
