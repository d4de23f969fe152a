// What the partitioning tool is told for each geometry, and how the old table is counted.
#include "disk/partition_table.h"

#include "disk/discovery.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace installer;

namespace {

std::string tableLines(const DiskRecord& disk, int oldEntries) {
    char* text = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&text, &size);
    EXPECT_TRUE(writePartitionTable(stream, disk, oldEntries));
    std::fclose(stream);
    std::string lines(text, size);
    std::free(text);
    return lines;
}

int countEntries(const std::string& dump) {
    FILE* stream = fmemopen(const_cast<char*>(dump.data()), dump.size(), "r");
    int entries = countTableEntries(stream);
    std::fclose(stream);
    return entries;
}

TEST(PartitionTable, TenMebibyteBootPartitionThenTheSystemAndLeftoverEntriesCleared) {
    DiskRecord large = describeDisk("/dev/sda", 4865, 255, 63),
               oneHead = describeDisk("/dev/hda", 1024, 1, 63);
    EXPECT_EQ(bootPartitionCylinders(large), 2u);
    EXPECT_EQ(tableLines(large, 0), "0,2,83,*\n2,4863,83,-\n");
    EXPECT_EQ(bootPartitionCylinders(oneHead), 326u); // 325 cylinders hold 1 KiB too little
    EXPECT_EQ(tableLines(oneHead, 0), "0,326,83,*\n326,698,83,-\n");
    EXPECT_EQ(tableLines(describeDisk("/dev/hda", 600, 16, 63), 4),
              "0,600,83,*\n0,0,0\n0,0,0\n0,0,0\n");
    EXPECT_EQ(tableLines(large, 4), "0,2,83,*\n2,4863,83,-\n0,0,0\n0,0,0\n");
    EXPECT_EQ(tableLines(large, 1), "0,2,83,*\n2,4863,83,-\n");
}

TEST(PartitionTable, ToolThatWentAwayIsNoticed) {
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    FILE* tool = fdopen(ends[1], "w");
    EXPECT_FALSE(writePartitionTable(tool, describeDisk("/dev/hda", 600, 16, 63), 4));
    std::fclose(tool);
}

TEST(PartitionTable, DumpEntriesAreTheLinesStartingWithDev) {
    EXPECT_EQ(countEntries(""), 0);
    EXPECT_EQ(countEntries("label: dos\nunit: cylinders\n\n"), 0);
    EXPECT_EQ(countEntries("# partition table of /dev/sda\nunit: cylinders\n\n"
                           "/dev/sda1 : start=    0, size=    2, Id=83, bootable\n"
                           "/dev/sda2 : start=    2, size= 4863, Id=83\n"
                           "/dev/sda3 : start=    0, size=    0, Id= 0\n"
                           " /dev/sda4 is not at the start of its line\n"),
              3);
    // Only line starts count, however long a line is.
    EXPECT_EQ(countEntries("/dev/sda1 : " + std::string(243, ' ') + "/dev/sda2\n"), 1);
}

TEST(DiskGeometryCheck, GeometriesATableCannotCarryAreRefusedBeforeAnyDivisionOrClearing) {
    EXPECT_STREQ(layoutProblem(describeDisk("/dev/sda", 4865, 0, 63)),
                 "the disk reports no heads or no sectors per track");
    EXPECT_STREQ(layoutProblem(describeDisk("/dev/sda", 100, 16, 0)),
                 "the disk reports no heads or no sectors per track");
    EXPECT_EQ(layoutProblem(describeDisk("/dev/sda", 4865, 255, 63)), nullptr);
    EXPECT_EQ(layoutProblem(describeDisk("/dev/hda", 100, 16, 63)), nullptr);
    EXPECT_STREQ(layoutProblem(describeDisk("/dev/hdc", 0, 2, 1)), "the disk has no cylinders");
    EXPECT_EQ(layoutProblem(describeDisk("/dev/hdc", 1, 2, 1)), nullptr);
    // Table lines carry cylinders as signed decimal numbers.
    EXPECT_STREQ(layoutProblem(describeDisk("/dev/sda", 0x80000000u, 1, 1)),
                 "the disk has more cylinders than a partition table can hold");
    // 2,000 cylinders of one 512-byte sector: the boot partition alone would need 20,480.
    EXPECT_STREQ(layoutProblem(describeDisk("/dev/sda", 2000, 1, 1)),
                 "the disk is too small for a boot partition");
}

} // namespace
