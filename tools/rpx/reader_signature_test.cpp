// The reader's half of the signature check, on packages signed by the signer: the digest it
// finishes, the 68 bytes it takes past the hash, and what it refuses before any arithmetic.
#include "package/format/reader.h"
#include "package/format/writer.h"
#include "tools/rpx/signer.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace installer;

namespace {

struct SignedPackage {
    std::string file;
    uint8_t publicKey[32];
};

// A package whose signature part body is the 68 signed bytes followed by `extra` bytes, or
// cut to `length` bytes when that is shorter than 68.
SignedPackage makeSigned(size_t length = 68) {
    uint8_t secret[32];
    SignedPackage p;
    EXPECT_TRUE(generateKeyPair(secret, p.publicKey));
    std::string parts = partBytes(partHeader, headerBodyBytes({"sig", 0x01006600, 3})) +
                        partBytes(partDescription, "signed package");
    std::string signatureHeader = partHeaderBytes(partSignature, uint32_t(length));
    Sha1 h;
    h.update(parts.data(), parts.size());
    h.update(signatureHeader.data(), signatureHeader.size());
    uint8_t digest[20], body[68];
    h.finish(digest);
    EXPECT_TRUE(signDigest(secret, digest, body));
    std::string signature(reinterpret_cast<char*>(body), 68);
    signature.resize(length, '\x5a');
    p.file = packageFileBytes(parts + signatureHeader + signature);
    return p;
}

} // namespace

TEST(ReaderSignature, SignedPackageVerifiesAndTheTeeStillGetsEveryByte) {
    SignedPackage p = makeSigned();
    std::istringstream in(p.file);
    std::stringbuf copy;
    PackageReader reader(in, true, &copy);
    reader.want(partSignature);
    ASSERT_EQ(reader.next(), partSignature);
    EXPECT_TRUE(reader.verifySignature(p.publicKey));
    EXPECT_EQ(reader.remaining(), 0u);
    uint8_t digest[20];
    EXPECT_TRUE(reader.takeDigest(digest));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), 20),
              p.file.substr(p.file.size() - 68, 20));
    EXPECT_EQ(reader.next(), -1);
    EXPECT_EQ(copy.str(), p.file);
}

// Reads a package whose signature body is `length` bytes up to `part` and checks the signature
// there: whether it held and how many bytes of the part are left.
std::string checkAt(size_t length, bool hashing = true, int part = partSignature) {
    SignedPackage p = makeSigned(length);
    std::istringstream in(p.file);
    PackageReader reader(in, hashing);
    reader.want(part);
    if (reader.next() != part)
        return "part not found";
    bool valid = reader.verifySignature(p.publicKey);
    return (valid ? "valid, " : "refused, ") + std::to_string(reader.remaining()) + " left";
}

TEST(ReaderSignature, ALongerBodyIsCheckedOnItsFirst68BytesAndAShortOneIsNotRead) {
    EXPECT_EQ(checkAt(100), "valid, 32 left");
    EXPECT_EQ(checkAt(67), "refused, 67 left");
}

TEST(ReaderSignature, RefusedWithoutHashingOrAwayFromTheSignaturePart) {
    EXPECT_TRUE(checkAt(68, false).starts_with("refused")) << checkAt(68, false);
    EXPECT_TRUE(checkAt(68, true, partDescription).starts_with("refused"));
}

TEST(ReaderSignature, ReadingAPartOfTheBodyFirstChangesNothingButAPutBackIsRespected) {
    // A caller that peeks at the description and puts a byte back must not disturb the digest.
    SignedPackage p = makeSigned();
    std::istringstream in(p.file);
    PackageReader reader(in, true);
    reader.want(partDescription);
    reader.want(partSignature);
    ASSERT_EQ(reader.next(), partDescription);
    EXPECT_EQ(reader.get(), 's');
    reader.unget();
    ASSERT_EQ(reader.next(), partSignature);
    EXPECT_TRUE(reader.verifySignature(p.publicKey));
}
