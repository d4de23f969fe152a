// The disk search and the preparation of the target as sequences of steps, on the recording
// system: which tools run with which arguments, in which order, what the partitioning tool is
// told, and where a failure stops. The same steps on real disk images run in the sandbox
// (disk_sandbox_test.cpp); here nothing runs and no second is waited for.
#include "disk/discovery.h"
#include "disk/preparation.h"
#include "testbed/recording_system.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace installer;

namespace {

const char* const listing = "/dev/sda: 1000 cylinders, 1 heads, 63 sectors/track\n";

// What step printed; the dots of a progress display that ran past a second are left out.
std::string captured(bool& result, bool (*step)(DiskRecord&), DiskRecord& disk) {
    testing::internal::CaptureStdout();
    result = step(disk);
    std::string text = testing::internal::GetCapturedStdout();
    for (size_t at = text.find("..."); at != std::string::npos; at = text.find("...", at + 1))
        while (at + 3 < text.size() && text[at + 3] == '.')
            text.erase(at + 3, 1);
    return text;
}

bool prepareKeeping(DiskRecord& disk) {
    return prepareDisk(disk, true);
}

bool prepareFresh(DiskRecord& disk) {
    return prepareDisk(disk, false);
}

} // namespace

TEST(DiskSearch, NoDiskIsTwentyListingsASecondApartThenTheFatalError) {
    RecordingSystem system;
    DiskRecord target;
    bool found = true;
    std::string text = captured(found, findHardDisk, target);
    EXPECT_FALSE(found);
    std::string expected;
    for (int pass = 0; pass < 20; ++pass)
        expected += std::string(pass ? "pause-through 1\n" : "") + "sfdisk -g\n";
    EXPECT_EQ(system.stepText(), expected);
    EXPECT_EQ(system.seconds, 19u);
    EXPECT_EQ(text, "\nLooking for harddrives...\n\nFATAL ERROR: no harddrives found\n");
}

TEST(DiskSearch, ADiskThatShowsUpLateIsTakenAtTheFirstListingThatHasIt) {
    RecordingSystem system;
    system.toolOutput["-g"] = std::string("Disks:\n") + listing;
    system.listingsBeforeOutput = 3;
    system.waitStatus["-g"] = 1 << 8; // the tool's own verdict is not what counts
    DiskRecord target;
    bool found = false;
    std::string text = captured(found, findHardDisk, target);
    EXPECT_TRUE(found);
    EXPECT_EQ(system.seconds, 3u);
    EXPECT_EQ(system.steps.size(), 4u + 3u);
    EXPECT_STREQ(target.device, "/dev/sda");
    EXPECT_EQ(target.cylinders, 1000u);
    EXPECT_EQ(text, "\nLooking for harddrives...\n\nFound harddrive as SATA 1\n");
}

TEST(DiskPreparation, PartitionThenFormatThenMountEachStepOnlyAfterTheOneBeforeIt) {
    struct Case {
        const char* title;
        DiskRecord disk;
        std::map<std::string, int> statuses;
        std::string steps;
        const char* tableInput; // null: the table was never written
        const char* message;
    };
    const int neverRan = 127 << 8;
    DiskRecord small = describeDisk("/dev/sda", 1000, 1, 63);   // 31 MiB: ext2, one partition
    DiskRecord large = describeDisk("/dev/hdb", 4865, 255, 63); // boot partition + ext3
    const std::string smallTable = "sfdisk -d -uC /dev/sda\nsfdisk -q -uC /dev/sda >null\n";
    const std::string largeTable = "sfdisk -d -uC /dev/hdb\nsfdisk -q -uC /dev/hdb >null\n";
    // Every way an installation may lie on the disk is tried; none mounts here.
    const std::string smallMounts = "mount /dev/sda2 /flash ext3\nmount /dev/sda1 /flash ext3\n"
                                    "mount /dev/sda2 /flash ext2\nmount /dev/sda1 /flash ext2\n";
    const std::string largeMounts = "mount /dev/hdb2 /flash ext3\nmount /dev/hdb1 /flash ext3\n"
                                    "mount /dev/hdb2 /flash ext2\nmount /dev/hdb1 /flash ext2\n";
    const char* notMounted = "ERROR: could not mount filesystem\n";
    // The old table of /dev/sda had two entries: the second is cleared, not left behind.
    const char* smallInput = "0,1000,83,*\n0,0,0\n";
    std::vector<Case> cases = {
        {"one partition, no journal",
         small,
         {},
         smallTable + "run /sbin/mke2fs /dev/sda1\n" + smallMounts,
         smallInput,
         notMounted},
        {"a boot partition without a journal beside a journaled system",
         large,
         {},
         largeTable + "run /sbin/mke2fs /dev/hdb1\nrun /sbin/mke2fs -j /dev/hdb2\n" + largeMounts,
         "0,2,83,*\n2,4863,83,-\n",
         notMounted},
        {"a table tool that complains has still done its work",
         small,
         {{"-q -uC /dev/sda", 1 << 8}},
         smallTable + "run /sbin/mke2fs /dev/sda1\n" + smallMounts,
         smallInput,
         notMounted},
        {"a dump tool that never ran stops before the table",
         small,
         {{"-d -uC /dev/sda", neverRan}},
         "sfdisk -d -uC /dev/sda\n",
         nullptr,
         "ERROR: could not create partitions\n"},
        {"a table tool that never ran stops before formatting",
         small,
         {{"-q -uC /dev/sda", neverRan}},
         smallTable,
         smallInput,
         "ERROR: could not create partitions\n"},
        {"a failed boot partition format leaves the system partition alone",
         large,
         {{"/sbin/mke2fs /dev/hdb1", 1 << 8}},
         largeTable + "run /sbin/mke2fs /dev/hdb1\n",
         "0,2,83,*\n2,4863,83,-\n",
         "ERROR: could not format partitions\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        RecordingSystem system;
        system.waitStatus = c.statuses;
        system.toolOutput["-d -uC /dev/sda"] = "# partition table of /dev/sda\n"
                                               "/dev/sda1 : start= 63, size= 100, Id=83\n"
                                               "/dev/sda2 : start= 0, size= 0, Id= 0\n";
        DiskRecord disk = c.disk;
        bool prepared = true;
        std::string text = captured(prepared, prepareFresh, disk);
        EXPECT_FALSE(prepared);
        EXPECT_EQ(system.stepText(), c.steps);
        if (c.tableInput) {
            ASSERT_EQ(system.toolInput.size(), 1u);
            EXPECT_EQ(system.toolInput[0], c.tableInput);
        } else {
            EXPECT_TRUE(system.toolInput.empty());
        }
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
        EXPECT_EQ(system.seconds, 0u);
    }
}

TEST(DiskPreparation, KeepingTheConfigurationLooksForTheOldSystemBeforeTouchingTheTable) {
    RecordingSystem system;
    DiskRecord disk = describeDisk("/dev/sda", 1000, 1, 63);
    bool prepared = true;
    std::string text = captured(prepared, prepareKeeping, disk);
    EXPECT_FALSE(prepared);
    // No old system mounts: the warning, and the new one is made all the same.
    std::string steps = system.stepText();
    EXPECT_EQ(steps.substr(0, steps.find("sfdisk")),
              "mount /dev/sda2 /flash ext3\nmount /dev/sda1 /flash ext3\n"
              "mount /dev/sda2 /flash ext2\nmount /dev/sda1 /flash ext2\n");
    EXPECT_EQ(text.find("WARNING: couldn't keep config - couldn't mount file system\n"), 0u)
        << text;
    EXPECT_NE(steps.find("run /sbin/mke2fs /dev/sda1\n"), std::string::npos) << steps;
}

TEST(DiskPreparation, AnOldSystemAloneOnPartitionOneIsMountedWithoutABootPartition) {
    RecordingSystem system;
    DiskRecord disk = describeDisk("/dev/hda", 4865, 255, 63);
    system.mountable = {"/dev/hda1 /flash ext3"};
    EXPECT_TRUE(mountTarget(disk, true));
    EXPECT_EQ(system.stepText(), "mount /dev/hda2 /flash ext3\nmount /dev/hda1 /flash ext3\n");
}

TEST(DiskPreparation, ABootPartitionThatDoesNotMountTakesTheSystemDownAgain) {
    RecordingSystem system;
    DiskRecord disk = describeDisk("/dev/hda", 4865, 255, 63);
    system.mountable = {"/dev/hda2 /flash ext3"};
    EXPECT_FALSE(mountTarget(disk, true));
    EXPECT_EQ(system.stepText(), "mount /dev/hda2 /flash ext3\nmkdir /flash/boot\n"
                                 "mount /dev/hda1 /flash/boot ext2\numount /flash\n");
}
