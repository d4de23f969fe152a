#include "package/record/version.h"

#include "package/record/package.h"

#include <gtest/gtest.h>

using namespace installer;

namespace {

std::unique_ptr<Package> package(const std::string& name, uint32_t version, uint32_t built = 0) {
    auto p = std::make_unique<Package>();
    p->name = name;
    p->version = version;
    p->buildTime = built;
    return p;
}

Requirement range(const std::string& name, uint32_t min, uint32_t max) {
    return Requirement{name, min, max, 0};
}

// comparePackages seen from both sides: `newer` is +1 against `older`, and -1 the other way.
void expectNewer(const Package& newer, const Package& older) {
    EXPECT_EQ(comparePackages(newer, older), +1) << packageLabel(newer);
    EXPECT_EQ(comparePackages(older, newer), -1) << packageLabel(newer);
}

} // namespace

TEST(VersionText, EveryReleaseKindFormatsAsUsersWriteIt) {
    std::string texts;
    for (uint32_t word :
         {makeVersion(3, 0, 'f', 0), makeVersion(3, 0, 'f', 1), makeVersion(2, 9, 'f', 27),
          makeVersion(3, 0, 'a', 5), makeVersion(3, 0, 'b', 0), makeVersion(3, 0, 'c', 1),
          makeVersion(3, 0, 0, 5), makeVersion(3, 0, 'z', 0), makeVersion(255, 255, 'a', 255)})
        texts += formatVersion(word) + " ";
    EXPECT_EQ(texts, "3.0 3.0.1 2.9.27 3.0alpha5 3.0beta 3.0rc1 3.05 3.0 255.255alpha255 ");
}

TEST(VersionText, ParsingGivesBackEveryLabelledWordAndRefusesWhatNoWordFormatsTo) {
    // Every word with a known kind survives formatting and parsing; the package tool relies
    // on this to take versions as text.
    for (unsigned kind : {'a', 'b', 'c', 'f'})
        for (unsigned major : {0u, 3u, 255u})
            for (unsigned number = 0; number < 256; number += 17) {
                uint32_t word = makeVersion(uint8_t(major), 9, uint8_t(kind), uint8_t(number));
                uint32_t parsed = 0;
                ASSERT_TRUE(parseVersion(formatVersion(word), parsed)) << formatVersion(word);
                EXPECT_EQ(parsed, word);
            }
    uint32_t v = 0;
    for (const char* bad : {"", "3", "3.", ".0", "256.0", "3.256", "3.0.0", "3.0.256", "3.0gamma",
                            "3.0rc1x", "3.0-1", " 3.0", "3.0 ", "0003.0", "3.0rc0001"})
        EXPECT_FALSE(parseVersion(bad, v)) << bad;
}

TEST(PackageOrder, ReleaseKindsSortAlphaBetaCandidateFinal) {
    uint32_t order[] = {makeVersion(2, 9, 'f', 27), makeVersion(3, 0, 'a', 0),
                        makeVersion(3, 0, 'b', 2),  makeVersion(3, 0, 'c', 9),
                        makeVersion(3, 0, 'f', 0),  makeVersion(3, 0, 'f', 1),
                        makeVersion(3, 1, 'a', 1),  makeVersion(3, 9, 'f', 0),
                        makeVersion(3, 10, 'f', 0), makeVersion(200, 0, 'f', 0)};
    for (size_t i = 1; i < std::size(order); ++i)
        expectNewer(*package("p", order[i]), *package("p", order[i - 1]));
    // Names differing only in case are unrelated: neither older nor newer.
    EXPECT_EQ(comparePackages(*package("system", order[4]), *package("System", order[0])), 0);
}

TEST(PackageOrder, BuildTimeBreaksTiesOnlyBetweenEqualVersions) {
    auto first = package("p", makeVersion(3, 0, 'f', 0), 100);
    auto second = package("p", makeVersion(3, 0, 'f', 0), 200);
    expectNewer(*second, *first);
    second->buildTime = 100;
    EXPECT_EQ(comparePackages(*first, *second), 0);
    // A later build of an older version is still older; build times near the top of the
    // unsigned range compare unsigned.
    EXPECT_EQ(comparePackages(*package("p", makeVersion(2, 0, 'f', 0), 0xFFFFFFF0), *first), -1);
    first->buildTime = 0x80000000;
    second->buildTime = 1;
    EXPECT_EQ(comparePackages(*first, *second), +1);
}

TEST(PackageOrder, BundleComparesThroughItsMemberFromEitherSide) {
    auto bundle = package("suite", makeVersion(9, 0, 'f', 0));
    bundle->isBundle = true;
    bundle->members.push_back(package("tools", makeVersion(1, 0, 'f', 0)));
    bundle->members.push_back(package("system", makeVersion(3, 0, 'f', 0)));
    bundle->members.push_back(package("system", makeVersion(1, 0, 'f', 0))); // first match wins
    auto alone = package("system", makeVersion(2, 9, 'f', 27));
    expectNewer(*bundle, *alone);
    alone->version = makeVersion(3, 0, 'f', 1);
    expectNewer(*alone, *bundle);
}

TEST(Requirements, SatisfiesChecksNameAndInclusiveBoundsOverlapsWhenRangesShareAVersion) {
    auto p = package("libc", makeVersion(2, 1, 'f', 0));
    std::string satisfied;
    for (const Requirement& r :
         {range("libc", 0, 0), range("libC", 0, 0), range("libc2", 0, 0),
          range("libc", p->version, p->version), range("libc", 0, p->version),
          range("libc", 0, p->version - 1), range("libc", p->version + 1, 0),
          range("libc", makeVersion(2, 0, 'f', 0), 0)})
        satisfied += satisfies(*p, r) ? '1' : '0';
    EXPECT_EQ(satisfied, "10011001");

    // Bounds of (provided, required) ranges of one name; the last: a word with the top bit set
    // is the largest, not negative.
    const uint32_t bounds[][4] = {
        {5, 0, 0, 4}, {5, 0, 0, 5}, {5, 0, 0, 0}, {5, 0, 100, 0}, {5, 8, 8, 0},
        {5, 8, 9, 0}, {5, 8, 1, 5}, {0, 0, 7, 7}, {0, 3, 7, 7},   {0x90000000, 0, 0, 0x10000000}};
    std::string overlapping;
    for (auto [pmin, pmax, rmin, rmax] : bounds)
        overlapping += overlaps(range("mta", pmin, pmax), range("mta", rmin, rmax)) ? '1' : '0';
    EXPECT_FALSE(overlaps(range("mta", 5, 0), range("smtp", 0, 0)));
    EXPECT_EQ(overlapping, "0111101100");
}

TEST(Labels, MembersAreShownUnderTheBundleTheUserChose) {
    auto p = package("system", makeVersion(2, 9, 'f', 27));
    EXPECT_EQ(packageLabel(*p), "system-2.9.27");
    EXPECT_EQ(displayLabel(*p, Requirement{}), "system-2.9.27");
    Requirement bundle{"suite", makeVersion(4, 1, 'c', 2), makeVersion(4, 1, 'c', 2), 0};
    EXPECT_EQ(displayLabel(*p, bundle), "suite-4.1rc2");
    EXPECT_EQ(bundleLabel("suite", 0), "suite");
    EXPECT_EQ(displayLabel(*p, Requirement{"suite", 0, 0, 0}), "suite");
}
