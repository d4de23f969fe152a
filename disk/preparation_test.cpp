// The disk search and the preparation of the target as sequences of steps, on the recording
// system: which tools run with which arguments, in which order, what the partitioning tool is
// told, and where a failure stops. The same steps on real disk images run in the sandbox
// (disk_sandbox_test.cpp); here nothing runs and no second is waited for.
#include "disk/discovery.h"
#include "disk/preparation.h"
#include "testbed/recording_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace installer;

namespace {

// What step printed; the dots of a progress display that ran past a second are left out.
template <class Step> std::string captured(bool& result, Step step) {
    testing::internal::CaptureStdout();
    result = step();
    std::string text = testing::internal::GetCapturedStdout();
    for (size_t at = text.find("..."); at != std::string::npos; at = text.find("...", at + 1))
        while (at + 3 < text.size() && text[at + 3] == '.')
            text.erase(at + 3, 1);
    return text;
}

// The old table dumped, then the new one written, on /dev/<disk>.
std::string tableSteps(const std::string& disk) {
    return "sfdisk -d -uC /dev/" + disk + "\nsfdisk -q -uC /dev/" + disk + " >null\n";
}

// Every way an installation may lie on /dev/<disk> tried in turn; none mounts here.
std::string mountSteps(const std::string& disk) {
    std::string steps;
    for (const char* type : {"ext3", "ext2"})
        for (const char* partition : {"2", "1"})
            steps += "mount /dev/" + disk + partition + " /flash " + type + "\n";
    return steps;
}

} // namespace

TEST(DiskSearch, NoDiskIsTwentyListingsASecondApartThenTheFatalError) {
    RecordingSystem system;
    DiskRecord target;
    bool found = true;
    std::string text = captured(found, [&] { return findHardDisk(target); });
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
    system.toolOutput["-g"] = "Disks:\n/dev/sda: 1000 cylinders, 1 heads, 63 sectors/track\n";
    system.listingsBeforeOutput = 3;
    system.waitStatus["-g"] = 1 << 8; // the tool's own verdict is not what counts
    DiskRecord target;
    bool found = false;
    std::string text = captured(found, [&] { return findHardDisk(target); });
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
        bool large;          // boot partition + ext3 on /dev/hdb, or one ext2 partition on /dev/sda
        const char* failing; // the step that ends with status, if any
        int status;
        std::string steps;
        const char* tableInput; // null: the table was never written
        const char* message;
    };
    const int neverRan = 127 << 8;
    const std::string smallFormat = "run /sbin/mke2fs /dev/sda1\n";
    const char* notMounted = "ERROR: could not mount filesystem\n";
    const char* noPartitions = "ERROR: could not create partitions\n";
    // The old table of /dev/sda had two entries: the second is cleared, not left behind.
    const char* smallInput = "0,1000,83,*\n0,0,0\n";
    const char* largeInput = "0,2,83,*\n2,4863,83,-\n";
    const Case cases[] = {
        {"one partition, no journal", false, nullptr, 0,
         tableSteps("sda") + smallFormat + mountSteps("sda"), smallInput, notMounted},
        {"a boot partition without a journal beside a journaled system", true, nullptr, 0,
         tableSteps("hdb") + "run /sbin/mke2fs /dev/hdb1\nrun /sbin/mke2fs -j /dev/hdb2\n" +
             mountSteps("hdb"),
         largeInput, notMounted},
        {"a table tool that complains has still done its work", false, "-q -uC /dev/sda", 1 << 8,
         tableSteps("sda") + smallFormat + mountSteps("sda"), smallInput, notMounted},
        {"a dump tool that never ran stops before the table", false, "-d -uC /dev/sda", neverRan,
         "sfdisk -d -uC /dev/sda\n", nullptr, noPartitions},
        {"a table tool that never ran stops before formatting", false, "-q -uC /dev/sda", neverRan,
         tableSteps("sda"), smallInput, noPartitions},
        {"a failed boot partition format leaves the system partition alone", true,
         "/sbin/mke2fs /dev/hdb1", 1 << 8, tableSteps("hdb") + "run /sbin/mke2fs /dev/hdb1\n",
         largeInput, "ERROR: could not format partitions\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        RecordingSystem system;
        if (c.failing)
            system.waitStatus[c.failing] = c.status;
        system.toolOutput["-d -uC /dev/sda"] = "# partition table of /dev/sda\n"
                                               "/dev/sda1 : start= 63, size= 100, Id=83\n"
                                               "/dev/sda2 : start= 0, size= 0, Id= 0\n";
        // 31 MiB: ext2, one partition; or big enough for a boot partition and a journal.
        DiskRecord disk = c.large ? describeDisk("/dev/hdb", 4865, 255, 63)
                                  : describeDisk("/dev/sda", 1000, 1, 63);
        bool prepared = true;
        std::string text = captured(prepared, [&] { return prepareDisk(disk, false); });
        EXPECT_FALSE(prepared);
        EXPECT_EQ(system.stepText(), c.steps);
        EXPECT_EQ(system.toolInput, c.tableInput ? std::vector<std::string>{c.tableInput}
                                                 : std::vector<std::string>{});
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
        EXPECT_EQ(system.seconds, 0u);
    }
}

TEST(DiskPreparation, KeepingTheConfigurationLooksForTheOldSystemBeforeTouchingTheTable) {
    RecordingSystem system;
    DiskRecord disk = describeDisk("/dev/sda", 1000, 1, 63);
    bool prepared = true;
    std::string text = captured(prepared, [&] { return prepareDisk(disk, true); });
    EXPECT_FALSE(prepared);
    // No old system mounts: the warning, and the new one is made all the same.
    std::string steps = system.stepText();
    EXPECT_EQ(steps.substr(0, steps.find("sfdisk")), mountSteps("sda"));
    EXPECT_EQ(text.find("WARNING: couldn't keep config - couldn't mount file system\n"), 0u)
        << text;
    EXPECT_NE(steps.find("run /sbin/mke2fs /dev/sda1\n"), std::string::npos) << steps;
}

TEST(DiskPreparation, AnOldSystemMountsAloneOrWithItsBootPartitionOrNotAtAll) {
    struct Case {
        const char* mountable;
        bool mounted;
        const char* steps;
    };
    for (const Case& c : {
             // Alone on partition 1: mounted without a boot partition.
             Case{"/dev/hda1 /flash ext3", true,
                  "mount /dev/hda2 /flash ext3\nmount /dev/hda1 /flash ext3\n"},
             // A boot partition that does not mount takes the system down again.
             Case{"/dev/hda2 /flash ext3", false,
                  "mount /dev/hda2 /flash ext3\nmkdir /flash/boot\n"
                  "mount /dev/hda1 /flash/boot ext2\numount /flash\n"},
         }) {
        SCOPED_TRACE(c.mountable);
        RecordingSystem system;
        DiskRecord disk = describeDisk("/dev/hda", 4865, 255, 63);
        system.mountable = {c.mountable};
        EXPECT_EQ(mountTarget(disk, true), c.mounted);
        EXPECT_EQ(system.stepText(), c.steps);
    }
}
