// The known-digest table: the build's own (empty in the repository), a full table of 1227 entries
// made by the same generator, and the generator's refusal of bad lists.
#include "package/format/hex_text.h"
#include "package/signature/known_digests.h"
#include "package/signature/signature.h"
#include "testbed/support/command_output.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace installer;

namespace installer {
extern const uint8_t fullTestDigestTable[][20];
extern const size_t fullTestDigestCount;
} // namespace installer

namespace {

using installer::hexText;
using Digest = std::array<uint8_t, 20>;

// The test table's entries are the SHA-1 digests of "known digest 1" ... "known digest 1227".
Digest entry(int i) {
    std::string text = "known digest " + std::to_string(i);
    Digest d;
    SHA1(reinterpret_cast<const uint8_t*>(text.data()), text.size(), d.data());
    return d;
}

bool inFullTable(const Digest& d) {
    return findKnownDigest(fullTestDigestTable, fullTestDigestCount, d.data());
}

TEST(KnownDigests, ARepositoryBuildAcceptsNoUnsignedPackage) {
    if (knownDigestCount != 0)
        GTEST_SKIP() << "built with a known-digest list of its own";
    EXPECT_FALSE(isKnownDigest(Digest{}.data()));
    EXPECT_FALSE(isKnownDigest(entry(1).data()));
}

TEST(KnownDigests, TheBuildsOwnEntriesAreAllAccepted) {
    for (size_t i = 0; i < knownDigestCount; ++i)
        EXPECT_TRUE(isKnownDigest(knownDigestTable[i])) << i;
}

TEST(KnownDigests, AFullTableAcceptsItsFirstAndItsLastEntryAndNothingElse) {
    ASSERT_EQ(fullTestDigestCount, knownDigestCapacity);
    EXPECT_TRUE(inFullTable(entry(1)));
    EXPECT_TRUE(inFullTable(entry(1227)));
    EXPECT_TRUE(inFullTable(entry(600)));
    EXPECT_FALSE(inFullTable(entry(1228)));
    Digest almost = entry(1227);
    almost[19] ^= 1;
    EXPECT_FALSE(inFullTable(almost));
    EXPECT_FALSE(inFullTable(Digest{})); // the padding of an empty table is no entry either
    EXPECT_FALSE(findKnownDigest(fullTestDigestTable, 1226, entry(1227).data()));
}

// Runs the table generator on `text` as the build does.
CommandRun generate(const std::string& text) {
    char dir[] = "/tmp/known-digests-XXXXXX";
    if (!mkdtemp(dir))
        return {-1, "mkdtemp failed"};
    std::string input = std::string(dir) + "/list.txt", output = std::string(dir) + "/table.cpp";
    std::ofstream(input) << text;
    std::string command = std::string(CMAKE_COMMAND_PATH) + " -DINPUT=" + input +
                          " -DOUTPUT=" + output + " -P " + KNOWN_DIGEST_GENERATOR + " 2>&1";
    CommandRun run = runCommand(command);
    std::ifstream table(output);
    if (run.status == 0)
        run.output.assign(std::istreambuf_iterator<char>(table), {});
    std::remove(output.c_str());
    std::remove(input.c_str());
    rmdir(dir);
    return run;
}

std::string hexLine(int i) {
    Digest d = entry(i);
    return hexText(d.data(), d.size()) + "\n";
}

TEST(KnownDigestGenerator, CommentsAndEmptyLinesAreSkippedAndCaseIgnored) {
    CommandRun run =
        generate("# accepted\n\n  " + hexLine(1) + "ABCDEF0123456789ABCDEF0123456789ABCDEF01\r\n");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("knownDigestCount = 2;"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("0xab,0xcd,0xef,0x01,"), std::string::npos) << run.output;
}

// The build's own full test table shows that 1227 digests go through.
TEST(KnownDigestGenerator, AMalformedLineOrMoreThan1227DigestsStopTheBuildNamingTheLine) {
    std::string full;
    for (int i = 1; i <= 1227; ++i)
        full += hexLine(i);
    std::vector<std::pair<std::string, std::string>> cases = {
        {full + hexLine(1228), "list.txt:1228: more than 1227 known digests"}};
    for (const std::string bad : {"0123", "zz23456789abcdef0123456789abcdef01234567",
                                  "0123456789abcdef0123456789abcdef012345678", "a;b", "[x]"})
        cases.push_back(
            {"# list\n" + hexLine(1) + bad + "\n" + hexLine(2), "list.txt:3: not a SHA-1 digest"});
    for (const auto& [text, message] : cases) {
        CommandRun run = generate(text);
        EXPECT_NE(run.status, 0) << message;
        EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
    }
}

} // namespace
