// The geometry listing as the partitioning tool prints it, read into the disk table, and the
// layout each geometry calls for. The real tool and real disks are exercised in the sandbox.
#include "disk/discovery.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace installer;

namespace {

int readListing(const std::string& text, DiskRecord (&table)[4]) {
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    int found = readDiskListing(stream, table, 4);
    std::fclose(stream);
    return found;
}

TEST(DiskListing, ToolLinesGiveDeviceGeometryAndLayout) {
    DiskRecord table[4];
    ASSERT_EQ(readListing("/dev/sda: 4865 cylinders, 255 heads, 63 sectors/track\n"
                          "/dev/hdb: 980 cylinders, 4 heads, 17 sectors/track\n",
                          table),
              2);
    EXPECT_STREQ(table[0].device, "/dev/sda");
    EXPECT_EQ(table[0].cylinders, 4865u);
    EXPECT_EQ(table[0].bytesPerCylinder, 8225280u);
    EXPECT_TRUE(table[0].separateBoot);
    EXPECT_TRUE(table[0].journaled);
    EXPECT_STREQ(table[1].device, "/dev/hdb");
    EXPECT_EQ(table[1].bytesPerCylinder, 4u * 17 * 512);
    EXPECT_FALSE(table[1].separateBoot);
    EXPECT_FALSE(table[1].journaled); // 980 x 34,816 bytes is about 32.5 MiB
}

TEST(DiskListing, OnlyCompleteDevLinesCountAndAMissingColonIsAccepted) {
    DiskRecord table[4];
    ASSERT_EQ(readListing("Disk geometry:\n"
                          "   /dev/sdb: 10 cylinders, 1 heads, 63 sectors/track\n"
                          "/dev/sdc: 10 cylinders, 1 heads\n"
                          "/dev/sdd: unknown geometry\n"
                          "/dev/hdc 700 cylinders, 16 heads, 63 sectors/track\n",
                          table),
              1);
    EXPECT_STREQ(table[0].device, "/dev/hdc");
    EXPECT_EQ(table[0].cylinders, 700u);
}

TEST(DiskListing, OverlongLinesNeitherTruncateADeviceNorSmuggleInASecondLine) {
    DiskRecord table[4];
    std::string longDevice = "/dev/disk/by-id/ata-VERY-LONG-MODEL-NAME-0123456789";
    std::string padding(127 - 10, 'x');
    ASSERT_EQ(readListing(longDevice + ": 100 cylinders, 16 heads, 63 sectors/track\n" +
                              "/dev/sda: " + padding +
                              "/dev/sdb: 100 cylinders, 16 heads, 63 sectors/track\n" +
                              "/dev/sdc: 100 cylinders, 16 heads, 63 sectors/track\n",
                          table),
              1);
    EXPECT_STREQ(table[0].device, "/dev/sdc");
}

TEST(DiskListing, NumbersWithASignAreNotGeometry) {
    // "-24" would read as 4294967272 cylinders and be written into the table as -24.
    DiskRecord table[4];
    ASSERT_EQ(readListing("/dev/hda: -24 cylinders, 16 heads, 63 sectors/track\n"
                          "/dev/hdb: 24 cylinders, -16 heads, 63 sectors/track\n"
                          "/dev/hdc: 24 cylinders, 16 heads, -63 sectors/track\n"
                          "/dev/hdd: 24 cylinders, 16 heads, 63 sectors/track\n",
                          table),
              1);
    EXPECT_STREQ(table[0].device, "/dev/hdd");
}

TEST(DiskListing, NoDiskLinesLeaveTheTableEmpty) {
    DiskRecord table[4];
    EXPECT_EQ(readListing("", table), 0);
    EXPECT_EQ(readListing("sfdisk: cannot open /dev/hda\n", table), 0);
}

TEST(DiskLayout, SeparateBootPartitionFrom1024Cylinders) {
    EXPECT_FALSE(describeDisk("/dev/hda", 1023, 16, 63).separateBoot);
    EXPECT_TRUE(describeDisk("/dev/hda", 1024, 16, 63).separateBoot);
}

TEST(DiskLayout, JournalOnlyAboveFortyMebibytes) {
    // 1 head, 64 sectors: 32 KiB per cylinder, so 1280 cylinders are exactly 40 MiB.
    EXPECT_FALSE(describeDisk("/dev/hda", 1280, 1, 64).journaled);
    EXPECT_TRUE(describeDisk("/dev/hda", 1281, 1, 64).journaled);
    // The size is worked out in 64 bits: this disk is 2 TiB, beyond any 32-bit product.
    DiskRecord huge = describeDisk("/dev/sda", 267349, 255, 63);
    EXPECT_TRUE(huge.journaled);
    EXPECT_TRUE(huge.separateBoot);
}

TEST(DiskLayout, ZeroHeadsOrSectorsLeaveNoBytesPerCylinder) {
    EXPECT_EQ(describeDisk("/dev/sda", 4865, 0, 63).bytesPerCylinder, 0u);
    EXPECT_EQ(describeDisk("/dev/sda", 4865, 255, 0).bytesPerCylinder, 0u);
    EXPECT_FALSE(describeDisk("/dev/sda", 4865, 0, 63).journaled);
}

TEST(DeviceLabels, KnownControllerPlacesAndEverythingElseByPath) {
    EXPECT_STREQ(deviceLabel("/dev/hda"), "IDE Primary master (disk C)");
    EXPECT_STREQ(deviceLabel("/dev/hdd"), "IDE Secondary slave (disk F)");
    EXPECT_STREQ(deviceLabel("/dev/sda"), "SATA 1");
    EXPECT_STREQ(deviceLabel("/dev/sdh"), "SATA 8");
    EXPECT_STREQ(deviceLabel("/dev/sdi"), "/dev/sdi");
    EXPECT_STREQ(deviceLabel("/dev/sda1"), "/dev/sda1");
}

} // namespace
