// The disk steps on a real kernel: the media's boot image in a virtual machine, with the disk
// scenario program as process 1 doing what a flow does (load the driver lists, find the disk,
// write the boot code, prepare the disk, finish). The kernel has modules, reads DOS partition
// tables itself and names the IDE disk /dev/sda. Afterwards the disk image is read back here,
// and booted under the BIOS through our boot code.
#include "disk/modules.h"
#include "testbed/ext_files.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"
#include "testbed/vm_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using namespace installer;

#ifndef INSTALLER32_VM_SCENARIO
#define INSTALLER32_VM_SCENARIO ""
#endif

namespace {

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
    return lines;
}

class DiskVm : public testing::Test {
protected:
    void SetUp() override {
        std::string missing = vmMissing();
        if (!missing.empty())
            GTEST_SKIP() << missing;
    }

    // Runs the scenario steps as process 1 of the machine; its console. The boot image's
    // sfdisk is told the disk's geometry when geometry is given ("/dev/sda 1 63").
    std::string runScenario(const VmDisk& disk, const std::string& steps,
                            const std::string& geometry = "", std::vector<VmDisk> more = {},
                            const std::string& cdrom = "") {
        std::string image = files.add("scenario.img");
        EXPECT_TRUE(bootImageWith(image, [&](InitramfsWriter& overlay) {
            overlay.hostFile("/sbin/vm_scenario", INSTALLER32_VM_SCENARIO);
            if (!geometry.empty())
                overlay.file("/etc/sfdisk.geometry", geometry + "\n");
        }));
        VmOptions options =
            vmDirectStart(image, "quiet rdinit=/sbin/vm_scenario -- kernel-fs " + steps);
        options.disks = {disk};
        options.disks.insert(options.disks.end(), more.begin(), more.end());
        options.cdrom = cdrom;
        VirtualMachine machine(options);
        EXPECT_TRUE(machine.start()) << machine.error();
        EXPECT_TRUE(machine.wait(240)) << machine.transcript();
        EXPECT_FALSE(machine.timedOut()) << machine.transcript();
        EXPECT_FALSE(machine.panicked()) << machine.transcript();
        machine.stop();
        std::string text = machine.transcript();
        toolLog = machine.toolLog();
        EXPECT_TRUE(contains(text, "\nrestarting\n")) << "the steps did not all run: " << text;
        return text;
    }

    std::string file(const std::string& image, uint64_t offset, const std::string& path) {
        std::string contents, error;
        EXPECT_TRUE(readExtFile(image, offset, path, contents, &error)) << path << ": " << error;
        return contents;
    }

    void expectClean(const std::string& image, uint64_t offset) {
        std::string report;
        EXPECT_TRUE(extFileSystemClean(image, offset, report)) << report;
    }

    bool journaled(const std::string& image, uint64_t offset) {
        std::string features;
        EXPECT_TRUE(debugfsRequest(image, offset, "features", features));
        return contains(features, "has_journal");
    }

    ScratchFiles files{"disk-vm"};
    std::string toolLog; // of the last scenario run
};

TEST_F(DiskVm, EveryPlacedModuleLoadsInListOrderAndOnlyThenAreThereDisks) {
    // Two disks and a CD-ROM, named by libata.
    std::string cdrom = files.image("cdrom.iso", 2 << 20);
    std::string text = runScenario({files.image("first.img", 64 << 20)},
                                   "block-devices modules block-devices restart", "",
                                   {files.image("second.img", 32 << 20)}, cdrom);

    std::vector<std::string> devices = linesStartingWith(text, "block devices:");
    ASSERT_EQ(devices.size(), 2u) << text;
    EXPECT_EQ(devices[0], "block devices:") << "a disk before any driver was loaded";
    // libata probes the buses at the same time: which disk becomes sda is a race.
    EXPECT_TRUE(devices[1] == "block devices: sda:131072 sdb:65536 sr0:4096" ||
                devices[1] == "block devices: sda:65536 sdb:131072 sr0:4096")
        << text;

    std::vector<std::string> loaded = linesStartingWith(text, "module ");
    std::vector<std::string> order;
    for (const char* const* list : {storageModules, usbModules})
        for (const char* const* entry = list; *entry; ++entry)
            order.push_back(*entry);
    size_t next = 0;
    for (const std::string& line : loaded) {
        std::istringstream words(line.substr(7));
        std::string path, result;
        words >> path >> result;
        EXPECT_EQ(result, "0") << line;
        while (next < order.size() && order[next] != path)
            ++next;
        EXPECT_LT(next, order.size()) << path << " out of the lists' order";
    }
    // The disk itself needs the SCSI core, its disk driver and an ATA controller driver.
    for (const char* needed : {"kernel/drivers/scsi/scsi_mod.ko", "kernel/drivers/scsi/sd_mod.ko",
                               "kernel/drivers/ata/libata.ko", "kernel/drivers/ata/ata_piix.ko"})
        EXPECT_TRUE(contains(text, std::string("module ") + needed + " 0\n")) << needed << text;
}

// 64 MiB: 8 cylinders of 255 heads and 63 sectors as the kernel reports them, so one partition,
// and more than 40 MiB, so ext3.
TEST_F(DiskVm, SmallDiskGetsOneJournaledPartitionThatBootsThroughOurBootCode) {
    VmDisk disk(files.image("disk.img", 64 << 20));
    std::string text =
        runScenario(disk, "modules geometry find bootcode prepare mounts finish mounts restart");

    std::vector<std::string> geometry = linesStartingWith(text, "sfdisk: /dev/sda:");
    ASSERT_EQ(geometry.size(), 1u) << text;
    EXPECT_EQ(geometry[0], "sfdisk: /dev/sda: 8 cylinders, 255 heads, 63 sectors/track");
    EXPECT_TRUE(contains(text, "prepareDisk=true\n")) << text << "tool log:\n" << toolLog;
    expectParts(text, {"findHardDisk=true\n/dev/sda 8 8225280 one-partition ext3\n",
                       "Found harddrive as SATA 1\n", "mounted /dev/sda1 /flash ext3\n",
                       "finishInstall done\nnothing mounted at /flash\n"});

    std::string dump;
    ASSERT_TRUE(partitionTableDump(disk.image, dump));
    expectParts(dump,
                {disk.image + "1 : start=          63, size=      128457, type=83, bootable\n"},
                {disk.image + "2 :"});
    uint64_t offset = 0, size = 0;
    ASSERT_TRUE(partitionExtent(disk.image, 1, offset, size));
    expectClean(disk.image, offset);
    EXPECT_TRUE(journaled(disk.image, offset));
    EXPECT_EQ(file(disk.image, offset, "/etc/fstab"), "/dev/sda1  /     ext3 defaults 1 1\n"
                                                      "none /proc proc defaults 0 0\n"
                                                      "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_TRUE(contains(file(disk.image, offset, "/etc/lilo.conf"), "boot=/dev/sda1\n"));
    EXPECT_EQ(file(disk.image, offset, "/.nofsck"), "");
    std::string listing;
    EXPECT_TRUE(debugfsRequest(disk.image, offset, "ls /var/pdb", listing)) << listing;

    std::string boot;
    EXPECT_TRUE(bootsThroughOurBootCode(disk, boot)) << boot;
}

// A boot image whose sfdisk is told 1 head and 63 sectors: 1400 cylinders are more than 1023,
// so a boot partition of 326 cylinders (10 MiB) and the system on the rest, ext3 (43 MiB). The
// BIOS sees the same geometry, as the installed machine would.
TEST_F(DiskVm, DiskOfManyCylindersGetsABootPartitionAndAnExt3SystemThatBoot) {
    VmDisk disk(files.image("disk.img", uint64_t{1400} * 63 * 512), 1400, 1, 63);
    std::string text = runScenario(
        disk, "modules find bootcode prepare mounts finish mounts restart", "/dev/sda 1 63");

    EXPECT_TRUE(contains(text, "prepareDisk=true\n")) << text << "tool log:\n" << toolLog;
    expectParts(text, {"findHardDisk=true\n/dev/sda 1400 32256 separate-boot ext3\n",
                       "mounted /dev/sda2 /flash ext3\n", "mounted /dev/sda1 /flash/boot ext2\n",
                       "finishInstall done\nnothing mounted at /flash\n"});

    uint64_t bootOffset = 0, bootSize = 0, systemOffset = 0, systemSize = 0;
    ASSERT_TRUE(partitionExtent(disk.image, 1, bootOffset, bootSize));
    ASSERT_TRUE(partitionExtent(disk.image, 2, systemOffset, systemSize));
    EXPECT_EQ(bootOffset, 63u * 512);
    EXPECT_EQ(bootSize, (326u * 63 - 63) * 512);
    EXPECT_EQ(systemOffset, 326u * 63 * 512);
    EXPECT_EQ(systemSize, (1400u - 326) * 63 * 512);
    std::string dump;
    ASSERT_TRUE(partitionTableDump(disk.image, dump));
    EXPECT_TRUE(contains(dump, "type=83, bootable\n")) << dump;

    expectClean(disk.image, bootOffset);
    expectClean(disk.image, systemOffset);
    EXPECT_FALSE(journaled(disk.image, bootOffset));
    EXPECT_TRUE(journaled(disk.image, systemOffset));
    EXPECT_EQ(file(disk.image, systemOffset, "/etc/fstab"),
              "/dev/sda2  /     ext3 defaults 1 1\n"
              "/dev/sda1  /boot ext2 defaults 1 2\n"
              "none /proc proc defaults 0 0\n"
              "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_TRUE(contains(file(disk.image, systemOffset, "/etc/lilo.conf"), "  root=/dev/sda2\n"));

    std::string boot;
    EXPECT_TRUE(bootsThroughOurBootCode(disk, boot)) << boot;
}

} // namespace
