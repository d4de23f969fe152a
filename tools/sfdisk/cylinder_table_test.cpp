// Translating the installer's cylinder table into sectors and back, and the entries' CHS
// addresses that BIOS-era boot code loads partitions by.
#include "tools/sfdisk/cylinder_table.h"
#include "tools/sfdisk/disk_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace sfdisk;

namespace {

Geometry disk(unsigned heads, unsigned sectors, uint64_t cylinders) {
    Geometry geometry;
    geometry.heads = heads;
    geometry.sectorsPerTrack = sectors;
    geometry.totalSectors = cylinders * heads * sectors + 17; // a partial last cylinder
    return geometry;
}

bool readTable(const std::string& text, const Geometry& geometry, TableEntry (&entries)[4],
               std::string& error) {
    FILE* input = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    bool read = readCylinderTable(input, geometry, entries, error);
    std::fclose(input);
    return read;
}

TEST(CylinderTable, TwoPartitionLayoutOfALargeDisk) {
    TableEntry entries[4];
    std::string error;
    ASSERT_TRUE(
        readTable("0,2,83,*\n2,4863,83,-\n0,0,0\n0,0,0\n", disk(255, 63, 4865), entries, error))
        << error;
    // Partition 1 starts after the first track and ends on a cylinder boundary.
    EXPECT_EQ(entries[0].start, 63u);
    EXPECT_EQ(entries[0].size, 2u * 16065 - 63);
    EXPECT_TRUE(entries[0].bootable);
    EXPECT_EQ(entries[1].start, 2u * 16065);
    EXPECT_EQ(entries[1].size, 4863u * 16065);
    EXPECT_FALSE(entries[1].bootable);
    EXPECT_EQ(entries[2].size, 0u);
    EXPECT_EQ(sectorScript("/dev/sda", entries),
              "label: dos\nunit: sectors\n\n"
              "/dev/sda1 : start=63, size=32067, type=83, bootable\n"
              "/dev/sda2 : start=32130, size=78124095, type=83\n");
}

TEST(CylinderTable, EmptyEntriesKeepTheirSlots) {
    TableEntry entries[4];
    std::string error;
    ASSERT_TRUE(readTable("0,0,0\n10,20,83,-\n", disk(16, 63, 100), entries, error)) << error;
    EXPECT_EQ(entries[0].size, 0u);
    EXPECT_EQ(entries[1].start, 10u * 16 * 63);
    EXPECT_EQ(sectorScript("/dev/loop7", entries),
              "label: dos\nunit: sectors\n\n/dev/loop7p2 : start=10080, size=20160, type=83\n");
}

TEST(CylinderTable, TablesThatCannotBePlacedAreRefusedWithAReason) {
    TableEntry entries[4];
    std::string error;
    EXPECT_FALSE(readTable("0,101,83,*\n", disk(16, 63, 100), entries, error));
    EXPECT_EQ(error, "line 1: partition ends beyond cylinder 100");
    EXPECT_FALSE(readTable("0,10,83,*\n-5,10,83\n", disk(16, 63, 100), entries, error));
    EXPECT_EQ(error, "line 2: expected start,size,type[,*|-]");
    EXPECT_FALSE(readTable("0,10,83,+\n", disk(16, 63, 100), entries, error));
    EXPECT_FALSE(readTable("0,10\n", disk(16, 63, 100), entries, error));
    EXPECT_FALSE(readTable("0,10,183\n", disk(16, 63, 100), entries, error));
    EXPECT_FALSE(
        readTable("0,1,83\n1,1,83\n2,1,83\n3,1,83\n4,1,83\n", disk(16, 63, 100), entries, error));
    EXPECT_EQ(error, "line 5: only four primary entries exist");
    EXPECT_FALSE(readTable("0,1,83,*\n", disk(1, 63, 100), entries, error));
    EXPECT_EQ(error, "line 1: partition has no room or no type");
    EXPECT_FALSE(readTable("0,10,83,*\n", disk(0, 63, 0), entries, error));
    EXPECT_EQ(error, "the disk has no cylinders: 0 heads or 0 sectors per track");
}

TEST(CylinderTable, DumpLinesAreShownInCylinders) {
    Geometry geometry = disk(255, 63, 4865);
    std::string out;
    ASSERT_TRUE(dumpLineInCylinders(
        "/dev/sda1 : start=          63, size=       32067, type=83, bootable", geometry, out));
    EXPECT_EQ(out, "/dev/sda1 : start=     0, size=     2, Id=83, bootable\n");
    ASSERT_TRUE(dumpLineInCylinders("/dev/sda2 : start=       32130, size=    78124095, type=83",
                                    geometry, out));
    EXPECT_EQ(out, "/dev/sda2 : start=     2, size=  4863, Id=83\n");
    EXPECT_FALSE(dumpLineInCylinders("label: dos", geometry, out));
    EXPECT_FALSE(dumpLineInCylinders("device: /dev/sda", geometry, out));
    EXPECT_FALSE(dumpLineInCylinders("/dev/sda3 : start=x, size=1", geometry, out));
}

TEST(CylinderTable, ALongDumpLineIsShownWholeWithItsEndOfLine) {
    // Cut short, the line would lose its newline and run into the next entry's line.
    std::string device = "/dev/" + std::string(300, 'd');
    std::string out;
    ASSERT_TRUE(
        dumpLineInCylinders(device + " : start=63, size=32067, type=" + std::string(40, 'f'),
                            disk(255, 63, 4865), out));
    EXPECT_EQ(out, device + " : start=     0, size=     2, Id=" + std::string(40, 'f') + "\n");
}

TEST(ChsAddresses, FollowTheDiskGeometryAndStopAtCylinder1023) {
    unsigned char chs[3];
    encodeChs(63, disk(255, 63, 4865), chs); // cylinder 0, head 1, sector 1
    EXPECT_EQ(chs[0], 1);
    EXPECT_EQ(chs[1], 1);
    EXPECT_EQ(chs[2], 0);
    encodeChs(63, disk(1, 63, 1024), chs); // cylinder 1, head 0, sector 1
    EXPECT_EQ(chs[0], 0);
    EXPECT_EQ(chs[1], 1);
    EXPECT_EQ(chs[2], 1);
    encodeChs(300 * 16065 + 62, disk(255, 63, 4865), chs); // cylinder 300 keeps bits 8-9
    EXPECT_EQ(chs[0], 0);
    EXPECT_EQ(chs[1], 63 | 0x40);
    EXPECT_EQ(chs[2], 300 & 0xff);
    encodeChs(4000ull * 16065, disk(255, 63, 4865), chs);
    EXPECT_EQ(chs[0], 254);
    EXPECT_EQ(chs[1], 0xff);
    EXPECT_EQ(chs[2], 0xff);
}

TEST(DiskNames, PartitionNamesAndGeometryOverrides) {
    EXPECT_EQ(partitionName("/dev/sda", 2), "/dev/sda2");
    EXPECT_EQ(partitionName("/dev/loop3", 1), "/dev/loop3p1");
    std::string text = "# test disks\n/dev/sdab 2 9\n/dev/sda 1 63\n/dev/hda 0 63\n";
    FILE* overrides = fmemopen(text.data(), text.size(), "r");
    unsigned heads = 7, sectors = 7;
    EXPECT_TRUE(findOverride(overrides, "/dev/sda", heads, sectors));
    EXPECT_EQ(heads, 1u);
    EXPECT_EQ(sectors, 63u);
    rewind(overrides);
    EXPECT_TRUE(findOverride(overrides, "/dev/hda", heads, sectors));
    EXPECT_EQ(heads, 0u);
    rewind(overrides);
    EXPECT_FALSE(findOverride(overrides, "/dev/sdb", heads, sectors));
    std::fclose(overrides);
}

} // namespace
