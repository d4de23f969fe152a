// The hard-disk installation for real, as process 1 of the sandbox: the medium is a whole-disk
// file system on a loop device (ext2 here, since this kernel has no FAT), the packages are the
// signed samples and packages made for the test, and afterwards the disk images are read from
// outside with the sector-based sfdisk and debugfs. Besides the installations, the faults a
// real one meets: a medium that cannot be installed, a target too small for a package, a file
// system creator that fails, damaged packages; each ends in its message, never in a hang, and
// what failed is not reported or recorded as installed.
#include "disk/boot_record.h"
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/damaged_package.h"
#include "testbed/support/package_drafts.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace installer;

namespace {

const std::string samples = INSTALLER_BINARY_DIR "/samples/";
constexpr uint64_t cylinderBytes = 16 * 63 * 512;

std::string hex(const std::string& bytes) {
    std::string text;
    char digits[3];
    for (unsigned char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

// A first sector whose table lists four partitions, so that the partitioning step shows that
// it found this sector on the disk.
std::string bootRecordImage() {
    std::string sector(512, 'M');
    for (int entry = 0; entry < 4; ++entry) {
        std::string slot(16, '\0');
        slot[4] = char(0x83);
        unsigned start = 63 * unsigned(entry + 1), size = 63;
        for (int i = 0; i < 4; ++i) {
            slot[8 + i] = char(start >> (8 * i));
            slot[12 + i] = char(size >> (8 * i));
        }
        sector.replace(446 + size_t(entry) * 16, 16, slot);
    }
    sector[510] = char(0x55);
    sector[511] = char(0xaa);
    return sector;
}

// A signed package of version 1.0 with one file, /etc/NAME.conf.
std::string package(const std::string& name, const Requirement& depends = {}) {
    testpkg::Draft draft;
    draft.name = name;
    if (!depends.name.empty())
        draft.depends = {depends};
    draft.entries = {testpkg::directory("etc"),
                     testpkg::regular("etc/" + name + ".conf", name + " settings\n")};
    return draft.signedFile();
}

struct Key {
    std::string expect; // console text to wait for
    std::string send;   // keys typed once it is there
};

// Files of a medium: name → a sample's file ("@name") or the bytes themselves.
using Files = std::map<std::string, std::string>;

Files sampleMedium(const std::string& script) {
    return {{"system.rpx", "@system"}, {"routing.rpx", "@routing"}, {"ppp.rpx", "@ppp"},
            {"dhcp.rpx", "@dhcp"},     {"mbr", bootRecordImage()},  {"autorun.scr", script}};
}

class HardDiskRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    // A disk holding one whole-disk file system with these files.
    void medium(const std::string& disk, uint64_t cylinders, const Files& files) {
        std::string dir = folder / ("medium-" + disk + std::to_string(++media));
        std::filesystem::create_directories(dir);
        for (const auto& [name, source] : files)
            writeFile(dir + "/" + name, source.rfind("@", 0) == 0
                                            ? fileContents(samples + source.substr(1) + ".rpx")
                                            : source);
        std::string image = blank(disk, cylinders);
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + image + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string blank(const std::string& disk, uint64_t cylinders) {
        geometry += "/dev/" + disk + " 16 63\n";
        return images[disk] = scratch.image(disk + ".img", cylinders * cylinderBytes + 63 * 256);
    }

    // Runs the scenario's steps; at each expected text the keys after it are typed.
    std::string run(const std::vector<std::string>& steps, const std::vector<Key>& keys = {}) {
        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {DISK_SCENARIO};
        options.args = {DISK_SCENARIO};
        options.args.insert(options.args.end(), steps.begin(), steps.end());
        for (const auto& [name, image] : images)
            options.disks.push_back({name, image});
        options.copies = {{scratch.text("geometry", geometry), "/etc/sfdisk.geometry"}};
        Sandbox sandbox(options);
        if (!sandbox.start()) {
            ADD_FAILURE() << sandbox.error();
            return "";
        }
        for (const Key& key : keys) {
            EXPECT_TRUE(sandbox.waitFor(key.expect, 60)) << key.expect << sandbox.transcript();
            usleep(200000);
            sandbox.send(key.send);
        }
        EXPECT_TRUE(sandbox.wait(240)) << sandbox.transcript();
        std::string transcript = sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
        return transcript;
    }

    std::string sectorTable(const std::string& disk) {
        std::string command = "/usr/sbin/sfdisk -d '" + images[disk] + "' 2>/dev/null";
        std::string text;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, pipe)) {
                std::string entry = line;
                size_t colon = entry.find(" : ");
                if (colon != std::string::npos)
                    text += entry.substr(colon + 3);
            }
            pclose(pipe);
        }
        return text;
    }

    // A file of the installed system on partition 1, or of the medium (partition 0).
    std::optional<std::string> file(const std::string& disk, const std::string& path,
                                    int partition = 1) {
        uint64_t offset = 0, size = 0;
        std::string contents;
        if ((partition && !partitionExtent(images[disk], partition, offset, size)) ||
            !readExtFile(images[disk], offset, path, contents))
            return std::nullopt;
        return contents;
    }

    // The package records on the installed system.
    void expectRecords(const std::string& disk, const std::vector<std::string>& present,
                       const std::vector<std::string>& absent = {}) {
        for (const std::string& name : present)
            EXPECT_TRUE(file(disk, "/var/pdb/" + name + "/version").has_value()) << name;
        for (const std::string& name : absent)
            EXPECT_FALSE(file(disk, "/var/pdb/" + name + "/version").has_value()) << name;
    }

    ScratchFiles scratch{"hdd-run"};
    ScratchFolder folder{"hdd-run"};
    std::map<std::string, std::string> images;
    std::string geometry;
    int media = 0;
};

TEST_F(HardDiskRun, EveryPackageOfTheMediumIsInstalledOntoTheMediumsOwnDisk) {
    Files files = sampleMedium("hostname edge-1\n");
    // Last on the screen (system, ppp, dhcp, routing, zz-monitor), installed right after
    // routing, which it needs, and before dhcp and ppp.
    files["zz-monitor.rpx"] = package("zz-monitor", {"routing", makeVersion(3, 0, 'f', 0)});
    files["defpacks"] = "system\n"; // the marks it names do not limit what is installed
    medium("sda", 100, files);
    std::string text = run({"record-tool", "save-first-sector", "hdd-install", "mounts",
                            "hex:/tmp/sda.sector:0:512", "show:/tmp/sfdisk.log"});
    // The image's table reached the disk before it was repartitioned: its four entries are
    // cleared; and the boot code went over its first bytes.
    std::string code(reinterpret_cast<const char*>(bootCode), sizeof bootCode);
    expectParts(text,
                {"hard disk installation", "\nLoading drivers\nLooking for harddrives...",
                 "Reading: system-3.1...\nReading: routing-3.1...\nReading: zz-monitor-1.0...\n"
                 "Reading: dhcp-3.1...\nReading: ppp-3.1...\n\n",
                 "\nSoftware installed.\nhardDiskInstall=true\n"
                 "/dev/sda 100 516096 one-partition ext3\nnothing mounted at /flash\n",
                 "--- hex /tmp/sda.sector\n" + hex(code) + std::string(524, '0') +
                     hex(bootRecordImage().substr(446)) + "\n",
                 "call: -q -uC /dev/sda\ninput: 0,100,83,*\ninput: 0,0,0\n"
                 "input: 0,0,0\ninput: 0,0,0\n--- end\n"},
                {"ERROR"});
    // In dependency order, whatever the screen's order.
    size_t at = 0;
    for (const char* label :
         {"system-3.1", "routing-3.1", "zz-monitor-1.0", "dhcp-3.1", "ppp-3.1"}) {
        size_t next = text.find(std::string("installed ") + label + "\n");
        ASSERT_NE(next, std::string::npos) << label << text;
        EXPECT_LT(at, next) << label << text;
        at = next;
    }
    EXPECT_EQ(sectorTable("sda"), "start=          63, size=      100737, type=83, bootable\n");
    EXPECT_EQ(file("sda", "/rw/autorun.scr"), "hostname edge-1\n");
    EXPECT_EQ(file("sda", "/etc/zz-monitor.conf"), "zz-monitor settings\n");
    expectRecords("sda", {"system", "routing", "ppp", "dhcp", "zz-monitor"});
}

TEST_F(HardDiskRun, ChooseModeInstallsThePickedPackagesAndLeavesTheFirstSectorToTheBootCode) {
    Files files = sampleMedium(""); // an empty script stays empty
    files["CHOOSE"] = "";
    files["mbr"] = "too short"; // never opened in this mode
    medium("sdb", 100, files);
    // The screen order is system, ppp, dhcp, routing: down to dhcp, pick it, install.
    std::string text = run({"record-tool", "save-first-sector", "hdd-install",
                            "hex:/tmp/sdb.sector:446:66", "show:/tmp/sfdisk.log"},
                           {{"cancel and reboot.", "nn"}, {"dhcp (depends on", " i"}});
    // Nothing replaced the medium's own first sector, which had no table.
    expectParts(text,
                {"\nSoftware installed.\nhardDiskInstall=true\n", "installed system-",
                 "installed dhcp-", "--- hex /tmp/sdb.sector\n" + std::string(132, '0') + "\n",
                 "input: 0,100,83,*\n--- end\n"},
                {"mbr file", "installed routing-", "installed ppp-", "Reading: routing"});
    EXPECT_EQ(file("sdb", "/rw/autorun.scr"), "");
    expectRecords("sdb", {"system", "dhcp"}, {"routing", "ppp"});
}

TEST_F(HardDiskRun, MediumOnALaterDiskIsTheOneInstalledAndOtherDisksAreLeftAlone) {
    // hda: a file system with an image but no script; hdb: no file system; sdb: the medium.
    medium("hda", 60, {{"mbr", bootRecordImage()}, {"notes.txt", "keep me\n"}});
    blank("hdb", 60);
    medium("sdb", 100, sampleMedium("x\n"));
    std::string text = run({"hdd-install"});
    EXPECT_TRUE(contains(text, "\nSoftware installed.\nhardDiskInstall=true\n"
                               "/dev/sdb 100 516096 one-partition ext3\n"))
        << text;
    EXPECT_EQ(file("sdb", "/rw/autorun.scr"), "x\n");
    EXPECT_EQ(file("hda", "/notes.txt", 0), "keep me\n");
    EXPECT_EQ(sectorTable("hda"), "");
    EXPECT_EQ(sectorTable("hdb"), "");
}

// Each of these ends the installation while the medium is still untouched: afterwards it is
// whole and readable, and its disk has no table (but the boot-record image, where it went on
// before the partitioning found no disk).
TEST_F(HardDiskRun, MediumThatCannotBeInstalledOrACancelEndsTheFlowBeforeItsDiskIsWritten) {
    struct Case {
        std::string title;
        Files files;
        std::vector<std::string> before; // steps before the installation
        std::string message;
        std::vector<Key> keys = {};
        bool recordWritten = false; // the boot-record image went onto the disk first
    };
    Files many{{"mbr", bootRecordImage()}, {"autorun.scr", ""}};
    for (int i = 0; i < 51; ++i) {
        std::string name = "p" + std::to_string(100 + i);
        many[name + ".rpx"] = package(name);
    }
    std::string routing = fileContents(samples + "routing.rpx");
    Files withTruncated = sampleMedium(""), shortImage = sampleMedium(""),
          choose = sampleMedium("");
    withTruncated["routing.rpx"] = routing.substr(0, routing.size() - 100);
    shortImage["mbr"] = std::string(511, 'M');
    choose["CHOOSE"] = "";
    std::vector<Case> cases = {
        {"a truncated package", withTruncated, {}, "FATAL ERROR: Bad package"},
        {"51 packages", many, {}, "\nFATAL ERROR: 51 packages to install, but room for only 50\n"},
        {"too little memory",
         sampleMedium(""),
         {"meminfo:1"}, // half a KiB for 1.3 KiB
         "\nFATAL ERROR: installation files too large for memory ("},
        {"a short boot-record image", shortImage, {}, "\nFATAL ERROR: Couldn't read mbr file\n"},
        {"a disk the partitioning tool does not list",
         sampleMedium(""),
         {"fake-tool:/sbin/sfdisk:Disks:\\n/dev/sdc 100 cylinders, 16 heads, 63 sectors/track\\n"},
         "\nFATAL ERROR: Couldn't find the disk!\nhardDiskInstall=false\n",
         {},
         true},
        {"cancel in the menu",
         choose,
         {},
         "Installation canceled\nhardDiskInstall=false\n",
         {{"cancel and reboot.", "q"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        images.clear();
        geometry.clear();
        medium("sda", 100, c.files);
        std::vector<std::string> steps = c.before;
        steps.push_back("hdd-install");
        std::string text = run(steps, c.keys);
        expectParts(text, {c.message, "hardDiskInstall=false\n"}, {"Creating partition"});
        EXPECT_EQ(file("sda", "/mbr", 0), c.files.at("mbr"));
        EXPECT_EQ(file("sda", "/autorun.scr", 0), "");
        EXPECT_EQ(sectorTable("sda").empty(), !c.recordWritten);
    }
}

// A signed package "bulk" of one file of `bytes` zero bytes: small on the medium, large once
// installed.
std::string bulkPackage(uint64_t bytes) {
    testpkg::Draft draft;
    draft.name = "bulk";
    draft.entries = {testpkg::directory("bulk"),
                     testpkg::regular("bulk/zeros", std::string(bytes, '\0'))};
    return draft.signedFile();
}

// A full disk is the target's failure, not the package's: the child says so in its status,
// and the flow stops there instead of going on to a success it cannot have. The larger
// package goes first, so nothing comes after it.
TEST_F(HardDiskRun, TargetTooSmallForAPackageSaysDiskIsTooSmallAndEndsTheFlow) {
    // 100 cylinders (50 MB) for 120 MB.
    medium("sda", 100,
           {{"system.rpx", "@system"},
            {"bulk.rpx", bulkPackage(120 << 20)},
            {"mbr", bootRecordImage()},
            {"autorun.scr", "hostname edge-1\n"}});
    expectParts(
        run({"hdd-install"}),
        {"ERROR: installation of bulk-1.0 failed: disk is too small\n", "hardDiskInstall=false\n"},
        {"installed bulk-1.0", "installing system-3.1", "Software installed."});
    expectRecords("sda", {}, {"bulk"});
    EXPECT_FALSE(file("sda", "/rw/autorun.scr").has_value())
        << "the flow did not go on to the script";
}

TEST_F(HardDiskRun, FailingFileSystemCreatorEndsTheFlowBeforeAnyPackage) {
    medium("sda", 100, sampleMedium(""));
    expectParts(run({"failing-tool:/sbin/mke2fs", "hdd-install"}),
                {"ERROR: could not format partitions\n", "hardDiskInstall=false\n"},
                {"installed system-", "Software installed."});
}

// A package the child cannot install is its own failure, not the disk's, and the flow goes on
// to success with the others.
TEST_F(HardDiskRun, DamagedOrCutShortPackagesOnTheMediumAreReportedBrokenAndTheRestGoIn) {
    Files files = sampleMedium("");
    std::string dhcp = fileContents(samples + "dhcp.rpx");
    files["ppp.rpx"] = withDamagedEnd(fileContents(samples + "ppp.rpx"));
    files["dhcp.rpx"] = cutShort(dhcp, dhcp.size() - 40);
    medium("sda", 100, files);
    expectParts(run({"hdd-install"}), {"ERROR: installation of ppp-3.1 failed: broken package\n",
                                       "ERROR: installation of dhcp-3.1 failed: broken package\n",
                                       "Software installed.\nhardDiskInstall=true\n"});
    expectRecords("sda", {"system", "routing"}, {"ppp", "dhcp"});
}

// The boot image's own installer: "-hdd-install" takes the hard-disk flow, which finds no
// medium on a machine whose only disk holds none, and start-up waits for ENTER to restart.
TEST(HardDiskStartUp, WithoutAMediumTheSearchEndsAfterTwentyPassesAndEnterRestarts) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the sandbox needs root";
    ScratchFiles scratch("hdd-start");
    SandboxOptions options;
    options.type = "net\n";
    options.args = {"-hdd-install"};
    options.disks = {{"sda", scratch.image("sda.img", 100 * cylinderBytes)}};
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    EXPECT_TRUE(sandbox.waitFor("hard disk installation", 30)) << sandbox.transcript();
    EXPECT_TRUE(sandbox.waitFor("\nFATAL ERROR: No hard disk found\n", 90)) << sandbox.transcript();
    EXPECT_TRUE(sandbox.waitFor("Press ENTER to reboot", 10)) << sandbox.transcript();
    sandbox.send("\r");
    EXPECT_TRUE(sandbox.wait(30)) << sandbox.transcript();
    EXPECT_TRUE(contains(sandbox.transcript(), "Rebooting...")) << sandbox.transcript();
    EXPECT_TRUE(sandbox.stop()) << sandbox.error();
}

} // namespace
