// Reading the server's offers and file announcements, and the texts the installer sends.
#include "network/protocol_text.h"

#include <gtest/gtest.h>

using namespace installer;

TEST(ProtocolText, RequestsCarryTheirLinesAndATerminatingNul) {
    EXPECT_EQ(driverRequest("6.1.0-9-686"), std::string("DRVR\n6.1.0-9-686\0", 17));
    EXPECT_EQ(discoveryRequest("", "", "lab01"), std::string("DSCV\n\n\nlab01\ni386\n\0", 19));
}

TEST(ProtocolText, AnOfferNeedsTwoLineFeedsAndASecondLineOfAtMost512Characters) {
    bool keep = true;
    EXPECT_TRUE(parseOffer("OFFR\n" + std::string(512, 'x') + "\n", keep));
    EXPECT_FALSE(keep);
    EXPECT_FALSE(parseOffer("OFFR\n" + std::string(513, 'x') + "\n", keep));
    EXPECT_TRUE(parseOffer("OFFR\n\n", keep));
    EXPECT_FALSE(parseOffer("OFFR\nline without end", keep));
    EXPECT_FALSE(parseOffer("OFFR", keep));
}

TEST(ProtocolText, OnlyAThirdLineExactlyKeepKeepsTheConfiguration) {
    struct Case {
        std::string third;
        bool keep;
    };
    for (const Case& c :
         {Case{"keep\n", true}, Case{"keep \n", false}, Case{"KEEP\n", false}, Case{"", false},
          Case{"keep", false}, Case{" keep\n", false}, Case{"keep\nmore\n", true}}) {
        bool keep = !c.keep;
        EXPECT_TRUE(parseOffer("OFFR\nserver\n" + c.third, keep)) << c.third;
        EXPECT_EQ(keep, c.keep) << '"' << c.third << '"';
    }
}

TEST(ProtocolText, AFileAnnouncementGivesNameAndSizeAndAnythingElseEndsTheList) {
    std::string name;
    int32_t size = -5;
    EXPECT_EQ(parseFileAnnouncement("FILE\nbase.rpx\n8162\n", name, size), Announcement::file);
    EXPECT_EQ(name, "base.rpx");
    EXPECT_EQ(size, 8162);
    EXPECT_EQ(parseFileAnnouncement(std::string("FILE\na.scr\n0\0", 13), name, size),
              Announcement::file);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(parseFileAnnouncement("FILE\nx\n2147483647", name, size), Announcement::file);
    EXPECT_EQ(size, INT32_MAX);
    EXPECT_EQ(parseFileAnnouncement("FILE\n" + std::string(80, 'n') + "\n1\n", name, size),
              Announcement::file); // 81 characters are too many: see below
    for (const char* end : {"DONE", "", "FIL", "file\nx\n1\n"})
        EXPECT_EQ(parseFileAnnouncement(end, name, size), Announcement::endOfList) << end;
}

TEST(ProtocolText, AMalformedFileAnnouncementIsNeitherAFileNorTheEnd) {
    const std::string tooLong(81, 'n');
    for (const std::string& bad : std::initializer_list<std::string>{
             "FILE", "FILE\nname-without-end", "FILE\nx\n", "FILE\nx\n 12\n", "FILE\nx\n+12\n",
             "FILE\nx\n-1\n", "FILE\nx\n12 \n", "FILE\nx\n12abc\n", "FILE\nx\n2147483648\n",
             "FILE\nx\n99999999999\n", "FILE\nx\n00000000001\n", "FILE\n" + tooLong + "\n1\n",
             std::string("FILE\na\0b\n1\n", 12)}) {
        std::string name = "stale";
        int32_t size = 7;
        EXPECT_EQ(parseFileAnnouncement(bad, name, size), Announcement::malformed) << bad;
        EXPECT_EQ(name, "");
    }
}

TEST(ProtocolText, ConfigurationScriptsAreNamesLongerThanFourEndingInDotScr) {
    for (const std::string& name : {std::string("a.scr"), std::string(40, 'n') + ".scr"})
        EXPECT_TRUE(isConfigurationScript(name)) << name;
    for (const char* name : {".scr", "a.scrx", "a.SCR", "base.rpx"})
        EXPECT_FALSE(isConfigurationScript(name)) << name;
}

TEST(ProtocolText, TheDiskLabelKeepsOnlyVisibleCharactersOfItsLine) {
    EXPECT_EQ(diskLabelFromLine("lab 01\n"), "lab01");
    EXPECT_EQ(diskLabelFromLine("\tr-1,\x1b[2J\r\n"), "r-1,[2J");
    for (const char* empty : {"", " \t\r\n", "\nsecond"})
        EXPECT_EQ(diskLabelFromLine(empty), "Kestrova") << empty;
    EXPECT_EQ(diskLabelFromLine(std::string(70, 'z')), std::string(63, 'z'));
}
