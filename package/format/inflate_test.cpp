#include "package/format/reader.h"

#include "testbed/support/package_drafts.h"

#include <gtest/gtest.h>

#include <random>

using namespace installer;

namespace {

// Compressible but not trivial: words from a small vocabulary with random bytes between.
std::string sampleArchive(size_t size) {
    std::mt19937 random(7);
    const char* words[] = {"router ", "package ", "flash ", "\x01\x02", "interface ", "\n"};
    std::string s;
    while (s.size() < size) {
        s += words[random() % 6];
        if (random() % 4 == 0)
            s += char(random());
    }
    s.resize(size);
    return s;
}

std::string packageWithArchive(const std::string& compressed) {
    return packageFileBytes(partBytes(partHeader, headerBodyBytes({"a", 1, 1})) +
                            partBytes(partArchive, compressed) + partBytes(partPayload, "after"));
}

// Reads the whole inflated archive of a package in pieces of the given sizes, cycling.
std::string inflateInPieces(const std::string& file, std::vector<size_t> pieces,
                            bool* damaged = nullptr) {
    testpkg::MemoryReader in(file);
    if (in.reader.next() != partArchive)
        return "no archive";
    std::string out;
    {
        InflatingStream archive(in.reader);
        std::vector<char> buffer(*std::max_element(pieces.begin(), pieces.end()));
        for (size_t i = 0; archive; ++i) {
            archive.read(buffer.data(), std::streamsize(pieces[i % pieces.size()]));
            out.append(buffer.data(), size_t(archive.gcount()));
        }
        if (damaged)
            *damaged = archive.inflater().damaged();
        EXPECT_EQ(archive.inflater().totalOut(), out.size());
    }
    return out;
}

} // namespace

TEST(InflatingStream, ManySmallReadsGiveTheSameBytesAsOneLargeRead) {
    std::string data = sampleArchive(200000);
    std::string file = packageWithArchive(testpkg::compressed(data));
    bool damaged = true;
    EXPECT_EQ(inflateInPieces(file, {1 << 20}, &damaged), data);
    EXPECT_FALSE(damaged);
    EXPECT_EQ(inflateInPieces(file, {1, 4095, 4096, 4097, 30, 7}), data);
}

TEST(InflatingStream, TheNextPartFollowsTheArchive) {
    testpkg::MemoryReader in(packageWithArchive(testpkg::compressed(sampleArchive(10000))));
    ASSERT_EQ(in.reader.next(), partArchive);
    {
        InflatingStream archive(in.reader);
        char first[30];
        archive.read(first, 30); // most of the archive left unread
    }
    ASSERT_EQ(in.reader.next(), partPayload);
    std::string text(5, '\0');
    in.reader.read(text.data(), 5);
    EXPECT_EQ(text, "after");
}

TEST(InflatingStream, CutShortOrCorruptArchiveEndsEarlyAndSaysSo) {
    std::string data = sampleArchive(50000);
    std::string compressed = testpkg::compressed(data);
    for (size_t keep : {size_t(0), size_t(1), compressed.size() / 2, compressed.size() - 1}) {
        bool damaged = false;
        std::string out =
            inflateInPieces(packageWithArchive(compressed.substr(0, keep)), {999}, &damaged);
        EXPECT_TRUE(damaged) << keep;
        EXPECT_EQ(out, data.substr(0, out.size()));
        EXPECT_LE(out.size(), data.size());
    }
    std::string corrupt = compressed;
    corrupt[corrupt.size() / 3] ^= 0x55;
    bool damaged = false;
    std::string out = inflateInPieces(packageWithArchive(corrupt), {512}, &damaged);
    EXPECT_TRUE(damaged || out != data);
}

TEST(InflatingStream, SeeksForwardOnly) {
    std::string data = sampleArchive(20000);
    testpkg::MemoryReader in(packageWithArchive(testpkg::compressed(data)));
    ASSERT_EQ(in.reader.next(), partArchive);
    InflatingStream archive(in.reader);
    archive.seekg(12345, std::ios_base::cur);
    EXPECT_EQ(archive.tellg(), 12345);
    char c;
    archive.get(c);
    EXPECT_EQ(c, data[12345]);
    archive.unget(); // one byte kept for put-back even across a refill
    archive.get(c);
    EXPECT_EQ(c, data[12345]);
    archive.seekg(-2, std::ios_base::cur);
    EXPECT_TRUE(archive.fail());
    archive.clear();
    archive.seekg(0, std::ios_base::end);
    EXPECT_TRUE(archive.fail());
    archive.clear();
    archive.seekg(100000, std::ios_base::cur); // beyond the end
    EXPECT_TRUE(archive.fail());
}
