// The CD-ROM installation on a real kernel: the media builder's ISO (the signed sample
// packages in its root) in the machine's CD-ROM drive, the installer as init with /TYPE
// "cdrom", the dialogue typed on the serial console. Afterwards the disk image is read back
// and started through the BIOS and the boot code the installer wrote.
#include "disk/boot_record.h"
#include "package/format/format.h"
#include "package/format/writer.h"
#include "testbed/ext_files.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"
#include "testbed/vm_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace installer;

namespace {

const char* const menuShown = "(depends on nothing):";
const char* const keepQuestion = "Do you want to keep old configuration?  [y/n]:";
const char* const continueQuestion =
    "\nWarning: all data on the disk will be erased!\n\nContinue? [y/n]:";

class CdromVm : public testing::Test {
protected:
    void SetUp() override {
        std::string missing = vmMissing();
        if (!missing.empty())
            GTEST_SKIP() << missing;
        if (access(CDROM_VM_ISO, R_OK) != 0)
            GTEST_SKIP() << "no CD image " << CDROM_VM_ISO;
        disk = files.image("disk.img", 64 << 20);
    }

    // Starts the machine with the disc in its drive; at each expected text the keys after it
    // are typed, or, after "monitor:", the rest is a command to the emulator. The console
    // transcript once the machine has ended.
    std::string run(const std::vector<std::pair<std::string, std::string>>& dialogue,
                    const std::string& iso = CDROM_VM_ISO, const std::string& faults = "") {
        std::string image = files.add("boot.img");
        EXPECT_TRUE(bootImageWith(
            image, [](InitramfsWriter& overlay) { overlay.file("/TYPE", "cdrom\n"); }));
        VmOptions options = vmDirectStart(image, "quiet");
        options.disks = {VmDisk(disk)};
        options.disks[0].faults = diskFaults;
        options.cdrom = iso;
        options.cdromFaults = faults;
        options.timeLimit = 420;
        options.memoryMiB = memoryMiB;
        VirtualMachine machine(options);
        if (!machine.start()) {
            ADD_FAILURE() << machine.error();
            return "";
        }
        for (const auto& [expect, keys] : dialogue) {
            if (!machine.waitFor(expect, 240)) {
                ADD_FAILURE() << "no " << expect << " in:\n" << machine.transcript();
                break;
            }
            if (keys.rfind("monitor:", 0) == 0)
                machine.monitor(keys.substr(8));
            else
                machine.send(keys);
        }
        EXPECT_TRUE(machine.wait(240)) << machine.transcript();
        EXPECT_FALSE(machine.panicked()) << machine.transcript();
        std::string text = machine.transcript();
        EXPECT_TRUE(contains(text, "reboot: Restarting system")) << text;
        machine.stop();
        return text;
    }

    // Makes the disk an old installation: one ext3 partition from sector 63 with 1 KB blocks,
    // its /rw/store holding "small" (the line "kept") and what the shell command `fill` run
    // there adds. The tree it was made from is removed (scratch files are only unlinked).
    void oldInstallation(const std::string& fill) {
        std::string tree = files.add("old");
        std::string command =
            "mkdir -p " + tree + "/rw/store && (cd " + tree + "/rw/store && echo kept >small && " +
            fill + ") && echo 'start=63,type=83,bootable' | sfdisk -q " + disk +
            " >/dev/null && mke2fs -q -F -t ext3 -b 1024 -d " + tree + " -E offset=32256 " + disk +
            " 65000k; status=$?; rm -rf " + tree + "; exit $status";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    bool installed(const std::string& path, std::string& contents) {
        uint64_t offset = 0, size = 0;
        return partitionExtent(disk, 1, offset, size) && readExtFile(disk, offset, path, contents);
    }

    std::string firstSector() {
        std::ifstream image(disk, std::ios::binary);
        std::string sector(512, '\0');
        image.read(sector.data(), 512);
        return sector;
    }

    ScratchFiles files{"cdrom-vm"};
    std::string disk, diskFaults;
    int memoryMiB = 256;
};

} // namespace

TEST_F(CdromVm, PackagesPickedOnTheSerialConsoleAreInstalledAndTheDiskStartsThroughTheBootCode) {
    // ppp and routing besides system; dhcp stays out.
    std::string text = run({{menuShown, "n "},
                            {"ppp (depends on system):", "\x1b[C\x1b[B"},
                            {"routing (depends on system):", " i"},
                            {keepQuestion, "y"},
                            {continueQuestion, "y"},
                            {"Software installed.\n", ""},
                            {"Press ENTER to reboot\n", "\r"}});
    expectParts(text, {"Found harddrive as", "\nRebooting...\n"});
    size_t after = text.find("Continue? [y/n]:y\n");
    ASSERT_NE(after, std::string::npos) << text;
    size_t system = text.find("installed system-3.1", after);
    EXPECT_NE(system, std::string::npos) << text;
    EXPECT_LT(system, text.find("installed ppp-3.1", after)) << text;
    EXPECT_LT(system, text.find("installed routing-3.1", after)) << text;
    EXPECT_FALSE(contains(text.substr(after), "dhcp-3.1")) << text;

    std::string contents;
    EXPECT_TRUE(installed("/CDINSTALL", contents));
    for (const char* name : {"system", "ppp", "routing"})
        EXPECT_TRUE(installed(std::string("/var/pdb/") + name + "/version", contents)) << name;
    EXPECT_FALSE(installed("/var/pdb/dhcp/version", contents));
    std::string sector = firstSector();
    EXPECT_EQ(sector.substr(0, sizeof bootCode),
              std::string(reinterpret_cast<const char*>(bootCode), sizeof bootCode));

    // The BIOS starts the disk: our boot code finds the active partition and starts it.
    std::string boot;
    EXPECT_TRUE(bootsThroughOurBootCode(VmDisk(disk), boot)) << boot;
}

// A disc whose last file ends past what the drive can read: its header parts come from the
// first blocks (the menu offers it), the rest fails with an I/O error while it is installed.
// The disc with a 1 MB package "zz" added; its first block on the disc, or -1. Its header
// parts come from the first blocks (the menu offers it).
static long discWithLargePackage(ScratchFiles& files, std::string& iso) {
    using namespace installer;
    std::string parts = partBytes(partHeader, headerBodyBytes({"zz", 0x03010000, 1700000000})) +
                        partBytes(partDescription, "larger than the readable disc") +
                        partBytes(partPayload, std::string(1 << 20, 'z'));
    std::string package = files.text("zz.rpx", packageFileBytes(parts));
    iso = files.add("damaged.iso");
    std::string command = "xorriso -indev '" + std::string(CDROM_VM_ISO) + "' -outdev '" + iso +
                          "' -boot_image any replay -map '" + package +
                          "' /zz.rpx -commit >/dev/null 2>&1 && xorriso -indev '" + iso +
                          "' -find /zz.rpx -exec report_lba -- 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string report;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        report += buffer;
    if (pclose(pipe) != 0)
        return -1;
    // "File data lba:  0 , START , BLOCKS , BYTES , '/zz.rpx'"
    size_t comma = report.find(',', report.find("File data lba:"));
    return comma == std::string::npos ? -1 : std::strtol(report.c_str() + comma + 1, nullptr, 10);
}

const std::vector<std::pair<std::string, std::string>> pickAllUpToCorruption = {
    {menuShown, "a"},
    {"[X] zz", "i"},
    {keepQuestion, "n"},
    {continueQuestion, "y"},
    {"\nFATAL ERROR: corrupted CD-ROM\n", ""},
    {"Press ENTER to reboot\n", "\r"}};

// A disc whose last file ends past what the drive can read: the rest fails with an I/O error
// while it is installed.
TEST_F(CdromVm, APackageThatCannotBeReadToItsEndIsACorruptedCdromAndNoMarker) {
    std::string iso;
    long start = discWithLargePackage(files, iso);
    ASSERT_GT(start, 0);
    ASSERT_EQ(truncate(iso.c_str(), off_t(start + 64) * 2048), 0);
    std::string text = run(pickAllUpToCorruption, iso);
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
    std::string contents;
    EXPECT_FALSE(installed("/CDINSTALL", contents));
}

// One sector in the middle of the package that the drive cannot read, every time it is asked.
TEST_F(CdromVm, AnUnreadableSectorInAPackageIsACorruptedCdromAndNoMarker) {
    std::string iso;
    long start = discWithLargePackage(files, iso);
    ASSERT_GT(start, 0);
    long sector = (start + 256) * 4; // 512 KB into the file, in 512-byte sectors
    std::string text =
        run(pickAllUpToCorruption, iso, files.text("faults.conf", unreadableSectorRules(sector)));
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
    EXPECT_FALSE(contains(text, "installed zz-")) << text;
    std::string contents;
    EXPECT_FALSE(installed("/CDINSTALL", contents));
}

// A hard disk that fails: the installation must not claim success, and the machine still waits
// for ENTER and restarts.
const std::vector<std::pair<std::string, std::string>> installDefaults = {
    {menuShown, "i"}, {keepQuestion, "n"}, {continueQuestion, "y"}};

static void expectFailedInstallation(const std::string& text) {
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
    EXPECT_TRUE(contains(text, "installation of system-3.1 failed: disk error")) << text;
    EXPECT_FALSE(contains(text, "installed system-3.1")) << text;
    EXPECT_TRUE(contains(text, "Press ENTER to reboot\n")) << text;
}

TEST_F(CdromVm, WriteErrorsWhereFileDataLandsAreADiskErrorAndNoSuccess) {
    // The disk takes the partition table and what formatting writes, and refuses the first
    // 1 MB after the bitmaps and inodes of each 8 MB block group but the first (whose free
    // space is the journal's). The partition starts at sector 63 and has 1 KB blocks; groups
    // 1, 3, 5 and 7 begin with a copy of the superblock and the reserved descriptors.
    std::string rules;
    for (long group = 1; group < 8; ++group) {
        long first = group * 8192 + 1 + (group % 2 ? 756 : 504);
        for (long block = first; block < first + 1024; ++block)
            rules += "[inject-error]\nevent = \"write_aio\"\niotype = \"write\"\nerrno = \"5\"\n"
                     "once = \"off\"\nsector = \"" +
                     std::to_string(63 + 2 * block) + "\"\n";
    }
    diskFaults = files.text("disk-faults.conf", rules);
    std::vector<std::pair<std::string, std::string>> dialogue = installDefaults;
    dialogue.push_back({"Press ENTER to reboot\n", "\r"});
    std::string text = run(dialogue);
    expectFailedInstallation(text);
}

TEST_F(CdromVm, ADiskThatVanishesWhilePackagesGoInIsNoSuccess) {
    std::vector<std::pair<std::string, std::string>> dialogue = installDefaults;
    dialogue.push_back({"installing system-3.1", "monitor:drive_del disk0"});
    dialogue.push_back({"Press ENTER to reboot\n", "\r"});
    std::string text = run(dialogue);
    expectFailedInstallation(text);
}

// A machine with little more than the boot image needs keeps about 15 MiB (half of what is
// available); an old configuration store larger than that is left behind with the warning, and
// the installation goes on without it.
TEST_F(CdromVm, OldConfigurationLargerThanMemoryIsNotKeptAndTheInstallationGoesOn) {
    memoryMiB = 128;
    oldInstallation("truncate -s 40M large");

    std::string text = run({{menuShown, "i"},
                            {keepQuestion, "y"},
                            {continueQuestion, "y"},
                            {"Software installed.\n", ""},
                            {"Press ENTER to reboot\n", "\r"}});
    expectParts(text, {"ERROR: couldn't keep config - probably not enough memory\n"},
                {"couldn't write old configuration", "Out of memory"});
    std::string contents;
    EXPECT_TRUE(installed("/CDINSTALL", contents));
    EXPECT_FALSE(installed("/rw/store/small", contents)) << "kept: " << contents;
}

// An old store the disk cannot read, a file's contents or the directory itself: the old
// configuration is given up with the message, and the installation goes on without it (the new
// store is not part of the old one).
TEST_F(CdromVm, OldConfigurationTheDiskCannotReadIsNotKeptAndTheInstallationGoesOn) {
    for (const char* unreadable : {"/rw/store/data 128", "/rw/store 0"}) {
        oldInstallation("yes store | head -c 256K >data");
        uint64_t offset = 0, size = 0;
        std::string block;
        ASSERT_TRUE(partitionExtent(disk, 1, offset, size));
        ASSERT_TRUE(debugfsRequest(disk, offset, std::string("bmap ") + unreadable, block));
        ASSERT_GT(std::atol(block.c_str()), 0) << block;
        diskFaults =
            files.text("faults.conf", unreadableSectorRules(63 + 2 * std::atol(block.c_str())));

        std::string text = run({{menuShown, "i"},
                                {keepQuestion, "y"},
                                {continueQuestion, "y"},
                                {"Software installed.\n", ""},
                                {"Press ENTER to reboot\n", "\r"}});
        EXPECT_TRUE(contains(text, "I/O error, dev sda, sector ")) << text;
        // After the dots while the drive retries: the message, and the installation goes on.
        std::string said = withoutKernelLines(text);
        size_t reading = said.find("Reading old configuration...");
        ASSERT_NE(reading, std::string::npos) << text;
        const std::string givenUp =
            "\nERROR: couldn't keep config - probably not enough memory\nCreating partition...";
        EXPECT_EQ(said.substr(said.find_first_not_of('.', reading + 28), givenUp.size()), givenUp)
            << unreadable << said;
        EXPECT_FALSE(contains(text, "couldn't write old configuration")) << text;
        std::string contents;
        EXPECT_TRUE(installed("/CDINSTALL", contents)) << unreadable;
        EXPECT_FALSE(installed("/rw/store/small", contents)) << unreadable << " kept " << contents;
    }
}
