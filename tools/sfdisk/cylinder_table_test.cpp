// Translating the installer's cylinder table into sectors and back, and the entries' CHS
// addresses that BIOS-era boot code loads partitions by.
#include "tools/sfdisk/cylinder_table.h"
#include "tools/sfdisk/disk_device.h"

#include <gtest/gtest.h>

#include <array>
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

// The sector script made from `table`, which shows every entry's start, size and flag.
std::string script(const std::string& table, const Geometry& geometry, const char* device) {
    TableEntry entries[4];
    std::string error;
    return readTable(table, geometry, entries, error) ? sectorScript(device, entries) : error;
}

TEST(CylinderTable, TwoPartitionLayoutOfALargeDisk) {
    // Partition 1 starts after the first track and ends on a cylinder boundary.
    EXPECT_EQ(script("0,2,83,*\n2,4863,83,-\n0,0,0\n0,0,0\n", disk(255, 63, 4865), "/dev/sda"),
              "label: dos\nunit: sectors\n\n"
              "/dev/sda1 : start=63, size=32067, type=83, bootable\n"
              "/dev/sda2 : start=32130, size=78124095, type=83\n");
}

TEST(CylinderTable, EmptyEntriesKeepTheirSlots) {
    EXPECT_EQ(script("0,0,0\n10,20,83,-\n", disk(16, 63, 100), "/dev/loop7"),
              "label: dos\nunit: sectors\n\n/dev/loop7p2 : start=10080, size=20160, type=83\n");
}

// Why readCylinderTable refuses `table` on a disk of 100 cylinders, or "accepted".
std::string refusal(const std::string& table, unsigned heads = 16) {
    TableEntry entries[4];
    std::string error;
    return readTable(table, disk(heads, 63, heads ? 100 : 0), entries, error) ? "accepted" : error;
}

TEST(CylinderTable, TablesThatCannotBePlacedAreRefusedWithAReason) {
    EXPECT_EQ(refusal("0,101,83,*\n"), "line 1: partition ends beyond cylinder 100");
    EXPECT_EQ(refusal("0,10,83,*\n-5,10,83\n"), "line 2: expected start,size,type[,*|-]");
    for (const char* bad : {"0,10,83,+\n", "0,10\n", "0,10,183\n"})
        EXPECT_NE(refusal(bad), "accepted") << bad;
    EXPECT_EQ(refusal("0,1,83\n1,1,83\n2,1,83\n3,1,83\n4,1,83\n"),
              "line 5: only four primary entries exist");
    EXPECT_EQ(refusal("0,1,83,*\n", 1), "line 1: partition has no room or no type");
    EXPECT_EQ(refusal("0,10,83,*\n", 0),
              "the disk has no cylinders: 0 heads or 0 sectors per track");
}

// What dumpLineInCylinders makes of a line, or "refused".
std::string inCylinders(const std::string& line, const Geometry& geometry = disk(255, 63, 4865)) {
    std::string out;
    return dumpLineInCylinders(line, geometry, out) ? out : "refused";
}

TEST(CylinderTable, DumpLinesAreShownInCylinders) {
    EXPECT_EQ(inCylinders("/dev/sda1 : start=          63, size=       32067, type=83, bootable"),
              "/dev/sda1 : start=     0, size=     2, Id=83, bootable\n");
    EXPECT_EQ(inCylinders("/dev/sda2 : start=       32130, size=    78124095, type=83"),
              "/dev/sda2 : start=     2, size=  4863, Id=83\n");
    for (const char* other : {"label: dos", "device: /dev/sda", "/dev/sda3 : start=x, size=1"})
        EXPECT_EQ(inCylinders(other), "refused") << other;
}

TEST(CylinderTable, ALongDumpLineIsShownWholeWithItsEndOfLine) {
    // Cut short, the line would lose its newline and run into the next entry's line.
    std::string device = "/dev/" + std::string(300, 'd');
    EXPECT_EQ(inCylinders(device + " : start=63, size=32067, type=" + std::string(40, 'f')),
              device + " : start=     0, size=     2, Id=" + std::string(40, 'f') + "\n");
}

// The three CHS bytes of an entry: head, sector with cylinder bits 8-9 on top, cylinder.
std::array<int, 3> chsOf(uint64_t sector, const Geometry& geometry) {
    unsigned char chs[3];
    encodeChs(sector, geometry, chs);
    return {chs[0], chs[1], chs[2]};
}

TEST(ChsAddresses, FollowTheDiskGeometryAndStopAtCylinder1023) {
    using Chs = std::array<int, 3>;
    EXPECT_EQ(chsOf(63, disk(255, 63, 4865)), (Chs{1, 1, 0})); // cylinder 0, head 1, sector 1
    EXPECT_EQ(chsOf(63, disk(1, 63, 1024)), (Chs{0, 1, 1}));   // cylinder 1, head 0, sector 1
    EXPECT_EQ(chsOf(300 * 16065 + 62, disk(255, 63, 4865)), (Chs{0, 63 | 0x40, 300 & 0xff}));
    EXPECT_EQ(chsOf(4000ull * 16065, disk(255, 63, 4865)), (Chs{254, 0xff, 0xff}));
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
