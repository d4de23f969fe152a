#include "package/format/reader.h"

#include "package/format/hex_text.h"
#include "package/format/writer.h"
#include "testbed/support/test_bytes.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

using namespace installer;

namespace {

std::string sha1Of(const std::string& bytes) {
    Sha1 h;
    h.update(bytes.data(), bytes.size());
    uint8_t d[20];
    h.finish(d);
    return hexText(d, 20);
}

std::string takenDigest(PackageReader& reader) {
    uint8_t d[20];
    return reader.takeDigest(d) ? hexText(d, 20) : "none";
}

std::string headerPart(const std::string& name, int kind = partHeader) {
    return partBytes(kind, headerBodyBytes({name, 0x03006601, 1000}));
}

// A source that counts what is taken from it, so that tests can tell a skip by repositioning
// from a skip by reading.
class CountingBuffer : public std::stringbuf {
public:
    explicit CountingBuffer(const std::string& s) : std::stringbuf(s, std::ios_base::in) {}
    size_t taken = 0;

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        std::streamsize got = std::stringbuf::xsgetn(s, n);
        taken += size_t(got);
        return got;
    }
    int_type uflow() override {
        int_type c = std::stringbuf::uflow();
        if (c != traits_type::eof())
            ++taken;
        return c;
    }
};

// A source that cannot reposition, like a pipe.
class PipeBuffer : public std::stringbuf {
public:
    explicit PipeBuffer(const std::string& s) : std::stringbuf(s, std::ios_base::in) {}

protected:
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
        return pos_type(off_type(-1));
    }
    pos_type seekpos(pos_type, std::ios_base::openmode) override { return pos_type(off_type(-1)); }
};

void wantAll(PackageReader& reader) {
    for (int kind = 0; kind < 64; ++kind)
        reader.want(kind);
}

} // namespace

TEST(PackageReader, HeaderOnlyFileEndsAtOnceWithTheEmptyDigest) {
    std::istringstream in(packageFileBytes(""));
    PackageReader reader(in, true);
    EXPECT_TRUE(reader.good());
    EXPECT_EQ(reader.totalSize(), 8u);
    EXPECT_EQ(reader.next(), -1);
    EXPECT_EQ(takenDigest(reader), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(takenDigest(reader), "none"); // taken once
    EXPECT_FALSE(reader.truncated());
}

TEST(PackageReader, UnknownMagicOrShortFileHeaderFailsFromTheStart) {
    for (std::string bytes : {fileHeaderBytes(0xBAD0F11F, 0) + headerPart("x"),
                              std::string("\x1e\xf1\xd0\xba\x26\0\0", 7), std::string()}) {
        std::istringstream in(bytes);
        PackageReader reader(in, true);
        reader.want(partHeader);
        EXPECT_TRUE(reader.fail());
        EXPECT_EQ(reader.next(), -1);
        EXPECT_EQ(reader.kind(), -1);
    }
    std::istringstream in(packageFileBytes("", unregisteredMagic));
    PackageReader reader(in, false);
    EXPECT_TRUE(reader.good());
    EXPECT_TRUE(reader.isUnregistered());
}

TEST(PackageReader, TotalSizeOfAHugeLengthDoesNotWrap) {
    std::istringstream in(fileHeaderBytes(packageMagic, 0xFFFFFFFF));
    PackageReader reader(in, false);
    EXPECT_EQ(reader.totalSize(), 0xFFFFFFFFull + 8);
}

TEST(PackageReader, WalksWantedPartsWithPositionsAndBodies) {
    std::string parts = headerPart("tools") + partBytes(partArchitecture, "i386") +
                        partBytes(partDescription, "Tools for the router") +
                        partBytes(partOnInstall, "echo hi\n");
    std::istringstream in(packageFileBytes(parts));
    PackageReader reader(in, true);
    reader.want(partHeader);
    reader.want(partDescription);
    reader.want(partOnInstall);
    EXPECT_EQ(reader.next(), partHeader);
    EXPECT_EQ(reader.position(), 8u + 6);
    EXPECT_EQ(reader.partLength(), 32u);
    char name[5] = {};
    reader.read(name, 4); // partly read: the rest is passed over by next
    EXPECT_STREQ(name, "tool");
    EXPECT_EQ(reader.next(), partDescription);
    EXPECT_EQ(reader.position(), 8u + 38 + 10 + 6);
    std::string text(reader.partLength(), '\0');
    reader.read(text.data(), std::streamsize(text.size()));
    EXPECT_EQ(text, "Tools for the router");
    EXPECT_EQ(reader.peek(), EOF); // the body ends here; next clears the end-of-file state
    EXPECT_EQ(reader.next(), partOnInstall);
    std::string script;
    std::getline(reader, script, '\0');
    EXPECT_EQ(script, "echo hi\n");
    EXPECT_EQ(reader.next(), -1);
    EXPECT_TRUE(reader.eof());
    EXPECT_EQ(reader.next(), -1); // stays at the end
    EXPECT_EQ(takenDigest(reader), sha1Of(parts));
}

TEST(PackageReader, ReadingPastABodyIsAFailureThatEndsTheWalk) {
    std::istringstream in(packageFileBytes(headerPart("a") + partBytes(partDescription, "ab") +
                                           partBytes(partOnInstall, "x")));
    PackageReader reader(in, true);
    reader.want(partDescription);
    reader.want(partOnInstall);
    ASSERT_EQ(reader.next(), partDescription);
    char text[3];
    reader.read(text, 3);
    EXPECT_EQ(reader.gcount(), 2);
    EXPECT_TRUE(reader.fail());
    EXPECT_EQ(reader.next(), -1);
}

TEST(PackageReader, NothingWantedPassesEveryPart) {
    std::string parts = headerPart("a") + partBytes(partArchive, randomBytes(10000, 1));
    std::istringstream in(packageFileBytes(parts));
    PackageReader reader(in, true);
    EXPECT_EQ(reader.next(), -1);
    EXPECT_FALSE(reader.truncated());
    EXPECT_EQ(takenDigest(reader), sha1Of(parts));
}

TEST(PackageReader, EachPackageOfAFileHasItsOwnDigest) {
    std::string bundleParts = headerPart("suite", partBundleHeader) +
                              partBytes(partMembers, requirementListBytes({{"a", 0, 0, 0}}));
    std::string first = headerPart("a") + partBytes(partPayload, randomBytes(5000, 2)) +
                        partBytes(partArchive, "zz");
    std::string second = headerPart("b") + partBytes(partDescription, "b");
    std::istringstream in(packageFileBytes(bundleParts + first + second));
    PackageReader reader(in, true);
    reader.want(partHeader);
    reader.want(partBundleHeader);
    EXPECT_EQ(reader.next(), partBundleHeader);
    EXPECT_EQ(takenDigest(reader), "none");
    EXPECT_EQ(reader.next(), partHeader);
    EXPECT_EQ(takenDigest(reader), sha1Of(bundleParts));
    EXPECT_EQ(reader.next(), partHeader);
    EXPECT_EQ(takenDigest(reader), sha1Of(first)); // unwanted parts hashed all the same
    EXPECT_EQ(reader.next(), -1);
    EXPECT_EQ(takenDigest(reader), sha1Of(second));
}

TEST(PackageReader, TeeReproducesTheFileAndPutBackChangesNothing) {
    std::string file = packageFileBytes(headerPart("a") + partBytes(partDescription, "hello") +
                                        partBytes(partArchive, randomBytes(9000, 3)));
    std::istringstream in(file);
    std::stringbuf copy;
    PackageReader reader(in, true, &copy);
    reader.want(partDescription);
    reader.want(partArchive);
    ASSERT_EQ(reader.next(), partDescription);
    EXPECT_EQ(reader.get(), 'h');
    EXPECT_TRUE(reader.unget());
    EXPECT_EQ(reader.get(), 'h');
    EXPECT_EQ(reader.get(), 'e');
    EXPECT_TRUE(reader.putback('e'));
    char rest[4];
    reader.read(rest, 4);
    EXPECT_EQ(std::string(rest, 4), "ello");
    ASSERT_EQ(reader.next(), partArchive);
    char some[100];
    reader.read(some, 100);
    reader.unget();
    reader.unget();
    reader.read(some, 50);
    EXPECT_EQ(reader.next(), -1);
    EXPECT_EQ(copy.str(), file);
    EXPECT_EQ(takenDigest(reader), sha1Of(file.substr(8)));
}

TEST(PackageReader, PutBackBeforeTheBodyStartsIsRefused) {
    std::istringstream in(packageFileBytes(headerPart("a") + partBytes(partDescription, "xy")));
    PackageReader reader(in, true);
    reader.want(partDescription);
    ASSERT_EQ(reader.next(), partDescription);
    EXPECT_FALSE(reader.unget()); // would hand back the part header
}

TEST(PackageReader, SkipsUnwantedPartsByRepositioningWhenNothingWatches) {
    std::string file =
        packageFileBytes(headerPart("a") + partBytes(partArchive, randomBytes(1 << 20, 4)) +
                         partBytes(partSignature, std::string(68, 's')));
    CountingBuffer source(file);
    PackageReader reader(&source, false);
    reader.want(partSignature);
    EXPECT_EQ(reader.next(), partSignature);
    EXPECT_LT(source.taken, 200u);
    char s;
    reader.get(s);
    EXPECT_EQ(s, 's');

    CountingBuffer watched(file);
    PackageReader hashing(&watched, true);
    hashing.want(partSignature);
    EXPECT_EQ(hashing.next(), partSignature);
    EXPECT_GT(watched.taken, 1u << 20);
}

TEST(PackageReader, LengthBeyondTheInputEndsAsTruncatedWithoutTrustingIt) {
    // A part that claims nearly 4 GiB in a short file that declares as much: seekable, not
    // seekable, hashed or not, the reader stops at the real end and says the input was cut short.
    std::string file = fileHeaderBytes(packageMagic, 0xFFFFFFFF) + headerPart("a") +
                       partHeaderBytes(partArchive, 0xFFFFFF00) + "abc";
    for (bool hashing : {false, true})
        for (bool pipe : {false, true}) {
            PipeBuffer piped(file);
            std::stringbuf seekable(file, std::ios_base::in);
            std::streambuf* source = pipe ? static_cast<std::streambuf*>(&piped) : &seekable;
            PackageReader reader(source, hashing);
            reader.want(partHeader);
            EXPECT_EQ(reader.next(), partHeader);
            EXPECT_EQ(reader.next(), -1);
            EXPECT_TRUE(reader.truncated()) << hashing << pipe;
        }
    // Reading the claimed body gives what is there and a fail state.
    std::istringstream in(file);
    PackageReader reader(in, true);
    reader.want(partArchive);
    ASSERT_EQ(reader.next(), partArchive);
    char buffer[16];
    reader.read(buffer, sizeof buffer);
    EXPECT_EQ(reader.gcount(), 3);
    EXPECT_TRUE(reader.fail());
    EXPECT_EQ(reader.next(), -1);
}

// Filler parts for ever after a file header that declares `declared` bytes: what a hostile
// server can pour into the pipe.
class EndlessBuffer : public std::streambuf {
public:
    explicit EndlessBuffer(uint32_t declared) : start(fileHeaderBytes(packageMagic, declared)) {
        start += headerPart("a");
        filler = partBytes(0x55, std::string(4000, 'f'));
        setg(start.data(), start.data(), start.data() + start.size());
    }
    uint64_t taken = 0;

protected:
    int_type underflow() override {
        taken += uint64_t(egptr() - eback());
        setg(filler.data(), filler.data(), filler.data() + filler.size());
        return traits_type::to_int_type(filler[0]);
    }

private:
    std::string start, filler;
};

TEST(PackageReader, TheDeclaredLengthEndsThePackageWhateverFollows) {
    // More parts after the declared end are not read: the walk ends there, the digest covers
    // only what was declared, and the reader tells that the input went on.
    std::string declared = packageFileBytes(headerPart("a"));
    for (bool hashing : {false, true}) {
        std::istringstream in(declared + partBytes(partDescription, "more"));
        PackageReader reader(in, hashing);
        wantAll(reader);
        EXPECT_EQ(reader.next(), partHeader);
        EXPECT_EQ(reader.next(), -1);
        EXPECT_TRUE(reader.overlong());
        EXPECT_FALSE(reader.truncated());
        EXPECT_EQ(reader.position(), declared.size());
        if (hashing) {
            EXPECT_EQ(takenDigest(reader), sha1Of(headerPart("a")));
        }
    }
    std::istringstream exact(declared);
    PackageReader reader(exact, true);
    wantAll(reader);
    reader.next();
    EXPECT_EQ(reader.next(), -1);
    EXPECT_FALSE(reader.overlong());

    // A part that reaches past the declared end is cut short there, seekable source or not.
    std::string body = randomBytes(1 << 20, 3);
    std::string lying = fileHeaderBytes(packageMagic, uint32_t(headerPart("a").size() + 100)) +
                        headerPart("a") + partBytes(partArchive, body);
    for (bool hashing : {false, true})
        for (bool read : {false, true}) {
            CountingBuffer watched(lying);
            PackageReader reader(&watched, hashing);
            reader.want(partArchive);
            EXPECT_EQ(reader.next(), partArchive);
            if (read) {
                std::string got(4096, '\0');
                reader.read(got.data(), std::streamsize(got.size()));
                EXPECT_EQ(reader.gcount(), 94);
            }
            EXPECT_EQ(reader.next(), -1); // passed over, by reading or by repositioning
            EXPECT_TRUE(reader.truncated()) << hashing << read;
            EXPECT_LT(watched.taken, 1000u);
        }
}

TEST(PackageReader, AnInputThatNeverEndsIsReadOnlyToItsDeclaredLength) {
    // Passing over unknown parts, hashed as the installer does, the walk ends by itself.
    EndlessBuffer endless(1 << 20);
    PackageReader reader(&endless, true);
    reader.want(partSignature);
    EXPECT_EQ(reader.next(), -1);
    EXPECT_TRUE(reader.truncated());
    EXPECT_LE(endless.taken, (1u << 20) + 8);
}

TEST(PackageReader, EveryTruncationIsNoticed) {
    std::string file =
        packageFileBytes(headerPart("a") + partBytes(partDescription, "desc") +
                         partBytes(partDepends, requirementListBytes({{"b", 1, 2, 0}})) +
                         partBytes(partArchive, randomBytes(300, 5)));
    auto walk = [](const std::string& bytes, bool& truncated) {
        std::istringstream in(bytes);
        PackageReader reader(in, true);
        wantAll(reader);
        int parts = 0;
        while (reader.next() >= 0) {
            ++parts;
            std::string body(std::min<uint32_t>(reader.partLength(), 1000), '\0');
            reader.read(body.data(), std::streamsize(body.size()));
        }
        truncated = reader.truncated();
        return parts;
    };
    bool truncated = false;
    int complete = walk(file, truncated);
    ASSERT_EQ(complete, 4);
    ASSERT_FALSE(truncated);
    for (size_t n = 0; n < file.size(); ++n) {
        int parts = walk(file.substr(0, n), truncated);
        EXPECT_TRUE(truncated || parts < complete) << "cut at " << n;
    }
}

TEST(PackageReader, SeeksInsideABody) {
    std::string body = "0123456789";
    std::string file = packageFileBytes(headerPart("a") + partBytes(partDescription, body));
    {
        // Without a hash or tee the source is repositioned both ways.
        std::istringstream in(file);
        PackageReader reader(in, false);
        reader.want(partDescription);
        ASSERT_EQ(reader.next(), partDescription);
        reader.seekg(7, std::ios_base::cur);
        EXPECT_EQ(reader.get(), '7');
        reader.seekg(-6, std::ios_base::cur);
        EXPECT_EQ(reader.get(), '2');
        EXPECT_EQ(reader.tellg(), 3);
        reader.seekg(10, std::ios_base::beg);
        EXPECT_EQ(reader.get(), EOF);
        reader.clear();
        reader.seekg(11, std::ios_base::beg); // beyond the body
        EXPECT_TRUE(reader.fail());
    }
    {
        // With a hash, forward only, and what is passed over is hashed.
        std::istringstream in(file);
        PackageReader reader(in, true);
        reader.want(partDescription);
        ASSERT_EQ(reader.next(), partDescription);
        reader.seekg(5, std::ios_base::cur);
        EXPECT_EQ(reader.get(), '5');
        reader.seekg(-2, std::ios_base::cur);
        EXPECT_TRUE(reader.fail());
        reader.clear();
        EXPECT_EQ(reader.get(), '6');
        EXPECT_EQ(reader.next(), -1);
        EXPECT_EQ(takenDigest(reader), sha1Of(file.substr(8)));
    }
}
