// The geometry listing as the partitioning tool prints it, read into the disk table, and the
// layout each geometry calls for. The real tool and real disks are exercised in the sandbox.
#include "disk/discovery.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace installer;

namespace {

// "device cylinders bytes-per-cylinder", then " boot" and " journal" where the layout has them.
std::string layoutOf(const DiskRecord& disk) {
    return std::string(disk.device) + " " + std::to_string(disk.cylinders) + " " +
           std::to_string(disk.bytesPerCylinder) + (disk.separateBoot ? " boot" : "") +
           (disk.journaled ? " journal" : "");
}

// The layout of every disk read from the listing, one line each.
std::string listed(const std::string& text) {
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    DiskRecord table[4];
    int found = readDiskListing(stream, table, 4);
    std::fclose(stream);
    std::string lines;
    for (int i = 0; i < found; ++i)
        lines += layoutOf(table[i]) + "\n";
    return lines;
}

TEST(DiskListing, OnlyCompleteDevLinesWithUnsignedNumbersAreDisks) {
    const std::string device = "/dev/disk/by-id/ata-VERY-LONG-MODEL-NAME-0123456789";
    const struct {
        const char* what;
        std::string listing, disks;
    } cases[] = {
        {"device, geometry and layout of each line",
         "/dev/sda: 4865 cylinders, 255 heads, 63 sectors/track\n"
         "/dev/hdb: 980 cylinders, 4 heads, 17 sectors/track\n",
         // 980 x 34,816 bytes is about 32.5 MiB: no journal.
         "/dev/sda 4865 8225280 boot journal\n/dev/hdb 980 34816\n"},
        {"incomplete lines are passed over and a missing colon is accepted",
         "Disk geometry:\n"
         "   /dev/sdb: 10 cylinders, 1 heads, 63 sectors/track\n"
         "/dev/sdc: 10 cylinders, 1 heads\n"
         "/dev/sdd: unknown geometry\n"
         "/dev/hdc 700 cylinders, 16 heads, 63 sectors/track\n",
         "/dev/hdc 700 516096 journal\n"},
        {"overlong lines neither truncate a device nor smuggle in a second line",
         device + ": 100 cylinders, 16 heads, 63 sectors/track\n/dev/sda: " +
             std::string(127 - 10, 'x') + "/dev/sdb: 100 cylinders, 16 heads, 63 sectors/track\n" +
             "/dev/sdc: 100 cylinders, 16 heads, 63 sectors/track\n",
         "/dev/sdc 100 516096 journal\n"},
        // "-24" would read as 4294967272 cylinders and be written into the table as -24.
        {"numbers with a sign are not geometry",
         "/dev/hda: -24 cylinders, 16 heads, 63 sectors/track\n"
         "/dev/hdb: 24 cylinders, -16 heads, 63 sectors/track\n"
         "/dev/hdc: 24 cylinders, 16 heads, -63 sectors/track\n"
         "/dev/hdd: 24 cylinders, 16 heads, 63 sectors/track\n",
         "/dev/hdd 24 516096\n"},
        {"no listing at all", "", ""},
        {"only the tool's complaint", "sfdisk: cannot open /dev/hda\n", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(listed(c.listing), c.disks) << c.what;
}

TEST(DiskLayout, BootPartitionFrom1024CylindersAndJournalOnlyAboveFortyMebibytes) {
    const struct {
        unsigned cylinders, heads, sectors;
        const char* layout;
    } cases[] = {
        {1023, 16, 63, "/dev/sda 1023 516096 journal"},
        {1024, 16, 63, "/dev/sda 1024 516096 boot journal"},
        // 1 head, 64 sectors: 32 KiB per cylinder, so 1280 cylinders are exactly 40 MiB.
        {1280, 1, 64, "/dev/sda 1280 32768 boot"},
        {1281, 1, 64, "/dev/sda 1281 32768 boot journal"},
        // The size is worked out in 64 bits: this disk is 2 TiB, beyond any 32-bit product.
        {267349, 255, 63, "/dev/sda 267349 8225280 boot journal"},
        {4865, 0, 63, "/dev/sda 4865 0 boot"},
        {4865, 255, 0, "/dev/sda 4865 0 boot"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(layoutOf(describeDisk("/dev/sda", c.cylinders, c.heads, c.sectors)), c.layout);
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
