// The hard-disk installation on a real kernel: a virtual PC boots the media builder's
// hard-disk medium through its BIOS, the installer (started with -hdd-install) finds the FAT
// file system on that same disk, repartitions it, installs every package from memory and
// restarts without waiting. The disk is then read from outside, and booted once more to show
// that the BIOS gets through our boot code to the new system's partition.
#include "disk/boot_record.h"
#include "testbed/ext_files.h"
#include "testbed/support/command_output.h"
#include "testbed/support/package_drafts.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"
#include "testbed/vm_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace installer;

namespace {

const std::string build = INSTALLER_BINARY_DIR;
const std::string bootmedia = build + "/tools/bootmedia/bootmedia";

class HardDiskVm : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the virtual machine's disks need root";
        if (access("/usr/bin/qemu-system-x86_64", X_OK) != 0)
            GTEST_SKIP() << "no qemu-system-x86_64";
    }

    // The media builder's hard-disk medium of the sample packages, with a boot-record image
    // made of our boot code.
    std::string medium(const std::string& script, bool choose, const std::string& extra = "") {
        std::string mbr(reinterpret_cast<const char*>(bootCode), sizeof bootCode);
        mbr.resize(510, '\0');
        mbr += "\x55\xaa";
        std::string image = files.add("medium.img");
        std::string command = bootmedia + " disk --installer " + build + "/target/installer" +
                              " --sfdisk " + build + "/tools/sfdisk/sfdisk --serial --size 64M" +
                              " --output " + image + " --mbr " + files.text("mbr", mbr) +
                              (script.empty() ? "" // the builder's own empty script
                                              : " --autorun " + files.text("autorun.scr", script)) +
                              (choose ? " --choose" : "");
        for (const char* name : {"system", "routing", "ppp", "dhcp"})
            command += " " + build + "/samples/" + name + ".rpx";
        if (!extra.empty())
            command += " " + extra;
        command += " >" + files.add("bootmedia.log") + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return image;
    }

    // Starts the machine and answers the console; the transcript once it ended, which it did
    // with a restart.
    std::string start(VmOptions options,
                      const std::vector<std::pair<std::string, std::string>>& keys = {}) {
        options.timeLimit = 400;
        VirtualMachine machine(options);
        if (!machine.start()) {
            ADD_FAILURE() << machine.error();
            return "";
        }
        for (const auto& [expect, send] : keys) {
            EXPECT_TRUE(machine.waitFor(expect, 240)) << expect << machine.transcript();
            usleep(500000);
            machine.send(send);
        }
        EXPECT_TRUE(machine.wait(380)) << machine.transcript();
        EXPECT_FALSE(machine.timedOut()) << machine.transcript();
        EXPECT_FALSE(machine.panicked()) << machine.transcript();
        EXPECT_TRUE(contains(machine.transcript(), "reboot: Restarting system"))
            << machine.transcript();
        return machine.transcript();
    }

    // Boots the disk through the BIOS.
    std::string boot(const std::string& disk,
                     const std::vector<std::pair<std::string, std::string>>& keys = {},
                     int memoryMiB = 256) {
        VmOptions options;
        options.memoryMiB = memoryMiB;
        options.bootFrom = "disk";
        options.disks = {VmDisk(disk)};
        options.disks[0].faults = diskFaults;
        return start(options, keys);
    }

    std::string installed(const std::string& disk, const std::string& path) {
        uint64_t offset = 0, size = 0;
        if (!partitionExtent(disk, 1, offset, size))
            return "(no partition 1)";
        std::string contents, error;
        if (!readExtFile(disk, offset, path, contents, &error))
            return "(missing: " + error + ")";
        return contents;
    }

    ScratchFiles files{"hdd-vm"};
    std::string diskFaults; // rules for the disk's drive (VmDisk::faults)
};

TEST_F(HardDiskVm, MediumInstallsItsOwnDiskRestartsAndTheDiskBootsThroughOurBootCode) {
    std::string disk = medium("hostname vm-edge\n", false);
    expectParts(boot(disk),
                {"hard disk installation",
                 "Reading: system-3.1...\nReading: routing-3.1...\n"
                 "Reading: dhcp-3.1...\nReading: ppp-3.1...\n",
                 "installed system-3.1\n", "installed routing-3.1\n", "installed dhcp-3.1\n",
                 "installed ppp-3.1\n", "\nSoftware installed.\n"},
                {"Press ENTER"});

    // One bootable partition over the whole disk, our boot code in front of its table.
    EXPECT_EQ(fileContents(disk).substr(0, sizeof bootCode),
              std::string(reinterpret_cast<const char*>(bootCode), sizeof bootCode));
    uint64_t offset = 0, size = 0;
    EXPECT_FALSE(partitionExtent(disk, 2, offset, size));
    ASSERT_TRUE(partitionExtent(disk, 1, offset, size));
    EXPECT_EQ(offset, 63u * 512);
    EXPECT_EQ(installed(disk, "/rw/autorun.scr"), "hostname vm-edge\n");
    EXPECT_TRUE(contains(installed(disk, "/etc/fstab"), "/dev/sda1  /     ext3 defaults 1 1\n"));
    for (const char* name : {"system", "routing", "ppp", "dhcp"})
        EXPECT_FALSE(
            contains(installed(disk, std::string("/var/pdb/") + name + "/version"), "(missing"))
            << name;

    std::string boot;
    EXPECT_TRUE(bootsThroughOurBootCode(VmDisk(disk), boot)) << boot;
}

// A machine with little more than the boot image needs (below 112 MiB the kernel runs out of
// memory unpacking it): half of what is left available is about 15 MiB, so a medium holding
// twice that must be refused while the disk is still untouched. The ENTER that restarts comes
// from the serial console, as the keys of the choose mode would (whose menu the sandbox test
// drives).
TEST_F(HardDiskVm, MediumLargerThanMemoryIsRefusedBeforeTheDiskIsWritten) {
    testpkg::Draft bulk;
    bulk.name = "bulk";
    bulk.rawArchive = std::string(size_t(32) << 20, '\0'); // never inflated: refused first
    std::string disk = medium("hostname small\n", false, files.text("bulk.rpx", bulk.signedFile()));
    std::string before = fileContents(disk);

    expectParts(boot(disk, {{"Press ENTER", "\r"}}, 128),
                {"\nFATAL ERROR: installation files too large for memory ("},
                {"Reading: ", "Software installed", "Out of memory"});
    // Not one byte of the disk changed, not even the file system's mount state.
    EXPECT_TRUE(fileContents(disk) == before);
}

// A medium whose disk cannot read a sector in the middle of one package: the installation
// stops naming the package before anything is written to the disk it is on. Without a payload
// part the menu, looking for one, reads through the archive; with one only reading the medium
// into memory does.
TEST_F(HardDiskVm, APackageTheMediumCannotReadStopsTheInstallationBeforeTheDiskIsWritten) {
    for (bool payload : {false, true}) {
        testpkg::Draft bulk;
        bulk.name = "bulk";
        if (payload)
            bulk.payload = "bulk";
        bulk.rawArchive = std::string(size_t(1) << 20, '\0'); // never inflated: unreadable first
        uint32_t noise = 1;
        for (char& byte : *bulk.rawArchive) // bytes found only there on the disk
            byte = char((noise = noise * 1103515245 + 12345) >> 24);
        std::string package = bulk.signedFile();
        std::string file = files.text("bulk.rpx", package);
        std::string disk = medium("hostname bulk\n", false, file);
        std::string before = fileContents(disk);
        size_t at = before.find(package.substr(512 << 10, 512));
        ASSERT_NE(at, std::string::npos);
        ASSERT_EQ(at % 512, 0u);
        diskFaults = files.text("faults.conf", unreadableSectorRules(at / 512));

        std::string text = boot(disk, {{"Press ENTER", "\r"}});
        EXPECT_TRUE(contains(text, "I/O error, dev sda, sector ")) << text;
        std::string stop = payload ? "\nFATAL ERROR: could not read file /floppy/" +
                                         file.substr(file.rfind('/') + 1) + "\n"
                                   : "\nFATAL ERROR: Bad package bulk-1.0\n\n";
        std::string said = withoutKernelLines(text);
        EXPECT_TRUE(contains(said, stop + "Press ENTER to reboot\n")) << said;
        EXPECT_EQ(contains(said, "Reading: bulk-1.0..."), payload) << said;
        EXPECT_FALSE(contains(said, "installed ")) << said;
        EXPECT_TRUE(fileContents(disk) == before) << "the disk changed";
    }
}

// The kernel started directly with the medium's own kernel and boot image, so that the medium
// can sit on a later disk than the one the BIOS would boot.
TEST_F(HardDiskVm, FatDiskWithoutAScriptIsPassedOverAndTheMediumOnTheSecondDiskIsInstalled) {
    std::string medium = this->medium("second disk\n", false);
    std::string kernel = files.add("vmlinuz"), bootImage = files.add("initrd.gz");
    std::string first = files.image("first.img", 16 << 20);
    std::string notes = files.text("notes.txt", "keep me\n");
    std::string command = "mcopy -o -i " + medium + " ::vmlinuz " + kernel + " && mcopy -o -i " +
                          medium + " ::initrd.gz " + bootImage + " && mkfs.vfat -I " + first +
                          " >/dev/null && mcopy -i " + first + " " + files.text("mbr2", "x") +
                          " ::mbr && mcopy -i " + first + " " + notes + " ::notes.txt";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    VmOptions options;
    options.kernel = kernel;
    options.initrd = bootImage;
    options.append = "-hdd-install";
    options.disks = {VmDisk(first), VmDisk(medium)};
    EXPECT_TRUE(contains(start(options), "\nSoftware installed.\n"));

    EXPECT_EQ(installed(medium, "/rw/autorun.scr"), "second disk\n");
    EXPECT_TRUE(contains(installed(medium, "/etc/fstab"), "/dev/sdb1  /     ext3 defaults 1 1\n"));
    uint64_t offset = 0, size = 0;
    EXPECT_FALSE(partitionExtent(first, 1, offset, size)) << "the first disk got a table";
    EXPECT_EQ(runCommand("mtype -i " + first + " ::notes.txt").output, "keep me\n");
}

} // namespace
