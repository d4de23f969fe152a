// The CD-ROM and hard-disk installations for real, as process 1 of the sandbox through their
// scenario runners, onto loop disks that are read back afterwards with the sector-based sfdisk
// and debugfs. The CD-ROM flow finds the signed sample packages on a disc at /dev/sr0 (an ext2
// image there, the development kernel having no iso9660), picked in the menu with keys on the
// console. The hard-disk flow's medium is a whole-disk file system on the very disk it installs
// (ext2 here, since this kernel has no FAT). Besides the installations, the faults a real one
// meets: a medium that cannot be installed, a package that cannot be read, a target too small
// for a package, a file system creator that fails, damaged packages; each ends in its message,
// never in a hang, and what failed is not reported or recorded as installed.
#include "disk/boot_record.h"
#include "package/format/format.h"
#include "package/format/writer.h"
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/command_output.h"
#include "testbed/support/damaged_package.h"
#include "testbed/support/package_drafts.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/stream_packages.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace installer;

namespace {

const std::string samples = INSTALLER_BINARY_DIR "/samples/";
constexpr uint64_t cylinderBytes = 16 * 63 * 512;

std::string hex(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes)
        text += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
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

// A signed package of version 1.0 with one file, /etc/NAME.conf, and with `zeros` a second
// one of as many zero bytes: small on the medium, large once installed.
std::string package(const std::string& name, const Requirement& depends = {}, size_t zeros = 0) {
    testpkg::Draft draft;
    draft.name = name;
    if (!depends.name.empty())
        draft.depends = {depends};
    draft.entries = {testpkg::directory("etc"),
                     testpkg::regular("etc/" + name + ".conf", name + " settings\n")};
    if (zeros)
        draft.entries.push_back(testpkg::regular("etc/zeros", std::string(zeros, '\0')));
    return draft.signedFile();
}

// Console texts to wait for, each with the keys typed once it is there.
using Dialogue = std::vector<std::pair<std::string, std::string>>;

// Files of a medium: name → a sample's file ("@name") or the bytes themselves.
using Files = std::map<std::string, std::string>;

std::string sample(const std::string& name) {
    return fileContents(samples + name + ".rpx");
}

// The sample packages of these names, and the other files.
Files withSamples(const std::vector<std::string>& names, Files files = {}) {
    for (const std::string& name : names)
        files[name + ".rpx"] = "@" + name;
    return files;
}

// A hard-disk medium: the packages, a boot-record image and the script.
Files asMedium(Files packages, const std::string& script) {
    packages["mbr"] = bootRecordImage();
    packages["autorun.scr"] = script;
    return packages;
}

Files sampleMedium(const std::string& script) {
    return asMedium(withSamples({"system", "routing", "ppp", "dhcp"}), script);
}

const char* const menuShown = "(depends on nothing):";
const char* const keepQuestion = "Do you want to keep old configuration?  [y/n]:";
const char* const continueQuestion =
    "\nWarning: all data on the disk will be erased!\n\nContinue? [y/n]:";

// The menu's keys (the last of them `i`), the answers to the two questions (the old
// configuration not kept, the disk given over), up to the flow's result line.
Dialogue installing(const std::string& keys, const std::string& keep = "n",
                    const std::string& go = "y") {
    return {{menuShown, keys}, {keepQuestion, keep}, {continueQuestion, go}, {"cdromInstall=", ""}};
}

class FlowRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    // A disk /dev/NAME of `cylinders` (and the bit more a medium's file system leaves over),
    // which the boot image's sfdisk is told has 16 heads and 63 sectors a track when `listed`.
    std::string blank(const std::string& disk, uint64_t cylinders, bool listed = true) {
        if (listed)
            geometry += "/dev/" + disk + " 16 63\n";
        return images[disk] = scratch.image(disk + ".img", cylinders * cylinderBytes + 63 * 256);
    }

    // A disk holding one whole-disk file system with these files.
    void medium(const std::string& disk, uint64_t cylinders, const Files& files,
                bool listed = true) {
        std::string dir = folder / ("medium-" + disk + std::to_string(++media));
        std::filesystem::create_directories(dir);
        for (const auto& [name, source] : files)
            writeFile(dir + "/" + name,
                      source.rfind("@", 0) == 0 ? sample(source.substr(1)) : source);
        std::string image = blank(disk, cylinders, listed);
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + image + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // Runs the scenario runner with these steps over the disks; at each expected text of the
    // dialogue the keys after it are typed. The transcript.
    std::string run(const std::string& runner, const std::vector<std::string>& steps,
                    const Dialogue& dialogue = {}) {
        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {runner};
        options.args = {runner};
        options.args.insert(options.args.end(), steps.begin(), steps.end());
        for (const auto& [name, image] : images)
            options.disks.push_back({name, image});
        options.copies = {{scratch.text("geometry", geometry), "/etc/sfdisk.geometry"}};
        Sandbox sandbox(options);
        if (!sandbox.start()) {
            ADD_FAILURE() << sandbox.error();
            return "";
        }
        for (const auto& [expect, keys] : dialogue) {
            if (!sandbox.waitFor(expect, 60)) {
                ADD_FAILURE() << "no " << expect << " in:\n" << sandbox.transcript();
                break;
            }
            usleep(200000);
            sandbox.send(keys);
        }
        EXPECT_TRUE(sandbox.wait(240)) << sandbox.transcript();
        std::string transcript = sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
        return transcript;
    }

    // The hard-disk flow from its medium on sda, of 100 cylinders.
    std::string hardDisk(const Files& files) {
        medium("sda", 100, files);
        return run(DISK_SCENARIO, {"hdd-install"});
    }

    // The CD-ROM flow from a disc with these files onto sda, of 60 cylinders.
    std::string cdrom(const Files& disc, const Dialogue& dialogue,
                      std::vector<std::string> args = {}) {
        if (!images.count("sda"))
            blank("sda", 60);
        medium("sr0", 17, disc, false);
        return run(CDROM_SCENARIO, args, dialogue);
    }

    // The partition table as sfdisk reads it from the image: its entries, without the names.
    std::string sectorTable(const std::string& disk) {
        std::istringstream lines(
            runCommand("/usr/sbin/sfdisk -d '" + images[disk] + "' 2>/dev/null").output);
        std::string text;
        for (std::string line; std::getline(lines, line);)
            if (size_t colon = line.find(" : "); colon != std::string::npos)
                text += line.substr(colon + 3) + "\n";
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

    // On the CD-ROM flow's target: the (empty) marker when `marked`, and the package records.
    void expectInstalled(bool marked, const std::vector<std::string>& present,
                         const std::vector<std::string>& absent = {}) {
        EXPECT_EQ(file("sda", "/CDINSTALL"),
                  marked ? std::optional<std::string>("") : std::nullopt);
        expectRecords("sda", present, absent);
    }

    // The CD-ROM flow's target has not been written to.
    bool untouched() {
        return fileContents(images["sda"]).substr(0, 512) == std::string(512, '\0');
    }

    ScratchFiles scratch{"flow-run"};
    ScratchFolder folder{"flow-run"};
    std::map<std::string, std::string> images;
    std::string geometry;
    int media = 0;
};

using HardDiskRun = FlowRun;
using CdromRun = FlowRun;

TEST_F(HardDiskRun, EveryPackageOfTheMediumIsInstalledOntoTheMediumsOwnDisk) {
    Files files = sampleMedium("hostname edge-1\n");
    // Last on the screen (system, ppp, dhcp, routing, zz-monitor), installed right after
    // routing, which it needs, and before dhcp and ppp.
    files["zz-monitor.rpx"] = package("zz-monitor", {"routing", makeVersion(3, 0, 'f', 0)});
    files["defpacks"] = "system\n"; // the marks it names do not limit what is installed
    medium("sda", 100, files);
    std::string text =
        run(DISK_SCENARIO, {"record-tool", "save-first-sector", "hdd-install", "mounts",
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
    std::string text = run(DISK_SCENARIO,
                           {"record-tool", "save-first-sector", "hdd-install",
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
    std::string text = run(DISK_SCENARIO, {"hdd-install"});
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
        Dialogue keys = {};
        bool recordWritten = false; // the boot-record image went onto the disk first
    };
    Files many{{"mbr", bootRecordImage()}, {"autorun.scr", ""}};
    for (int i = 100; i < 151; ++i)
        many["p" + std::to_string(i) + ".rpx"] = package("p" + std::to_string(i));
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
        std::string text = run(DISK_SCENARIO, steps, c.keys);
        expectParts(text, {c.message, "hardDiskInstall=false\n"}, {"Creating partition"});
        EXPECT_EQ(file("sda", "/mbr", 0), c.files.at("mbr"));
        EXPECT_EQ(file("sda", "/autorun.scr", 0), "");
        EXPECT_EQ(sectorTable("sda").empty(), !c.recordWritten);
    }
}

// A full disk is the target's failure, not the package's: the child says so in its status,
// and either flow stops there instead of going on to a success it cannot have; on the hard
// disk the larger package goes first, so nothing comes after it.
TEST_F(FlowRun, TargetTooSmallForAPackageSaysDiskIsTooSmallAndEndsTheFlowInBothFlows) {
    // 120 MB for 100 cylinders (50 MB) of the hard disk or 60 (31 MB) of the CD-ROM's target.
    Files packages =
        withSamples({"system", "routing"}, {{"bulk.rpx", package("bulk", {}, 120 << 20)}});
    for (bool cd : {false, true}) {
        SCOPED_TRACE(cd ? "CD-ROM" : "hard disk");
        images.clear();
        geometry.clear();
        std::string text =
            cd ? cdrom(packages, installing("ai")) : hardDisk(asMedium(packages, "x\n"));
        size_t failed = text.find("ERROR: installation of bulk-1.0 failed: disk is too small\n");
        ASSERT_NE(failed, std::string::npos) << text;
        EXPECT_TRUE(contains(text, cd ? "cdromInstall=false\n" : "hardDiskInstall=false\n"));
        EXPECT_FALSE(contains(text.substr(text.find('\n', failed)), "install"))
            << "nothing after it: " << text;
        expectRecords("sda", {}, {"bulk"});
        EXPECT_FALSE(file("sda", "/CDINSTALL").has_value());
        EXPECT_FALSE(file("sda", "/rw/autorun.scr").has_value())
            << "the flow went on to the script";
    }
}

TEST_F(HardDiskRun, FailingFileSystemCreatorEndsTheFlowBeforeAnyPackage) {
    medium("sda", 100, sampleMedium(""));
    expectParts(run(DISK_SCENARIO, {"failing-tool:/sbin/mke2fs", "hdd-install"}),
                {"ERROR: could not format partitions\n", "hardDiskInstall=false\n"},
                {"installed system-", "Software installed."});
}

// A package the child cannot install is its own failure, not the disk's, and either flow goes
// on to success with the others.
TEST_F(FlowRun, DamagedOrCutShortPackagesAreReportedBrokenAndTheOthersStillGoInInBothFlows) {
    std::string dhcp = sample("dhcp");
    Files packages =
        withSamples({"system", "routing"}, {{"ppp.rpx", withDamagedEnd(sample("ppp"))},
                                            {"dhcp.rpx", cutShort(dhcp, dhcp.size() - 40)}});
    for (bool cd : {false, true}) {
        SCOPED_TRACE(cd ? "CD-ROM" : "hard disk");
        images.clear();
        geometry.clear();
        expectParts(cd ? cdrom(packages, installing("ai")) : hardDisk(asMedium(packages, "")),
                    {"ERROR: installation of ppp-3.1 failed: broken package\n",
                     "ERROR: installation of dhcp-3.1 failed: broken package\n",
                     std::string("Software installed.\n") +
                         (cd ? "cdromInstall=true\n" : "hardDiskInstall=true\n")});
        expectRecords("sda", {"system", "routing"}, {"ppp", "dhcp"});
        EXPECT_EQ(file("sda", "/CDINSTALL").has_value(), cd) << "the CD-ROM flow's marker";
    }
}

TEST_F(CdromRun, PackagesPickedInTheMenuAreInstalledInDependencyOrderWithTheMarker) {
    Files image = withSamples({"system", "ppp", "dhcp", "routing"});
    // ppp (second), routing (fourth, second column); dhcp stays out.
    std::string text = cdrom(image, {{menuShown, "n \x1b[C\x1b[B "},
                                     {"routing (depends on system):", "i"},
                                     {keepQuestion, "n"},
                                     {continueQuestion, "y"},
                                     {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "Software installed.\ncdromInstall=true\n")) << text;
    size_t after = text.find("Continue? [y/n]:y\n");
    ASSERT_NE(after, std::string::npos) << text;
    size_t system = text.find("system-3.1", after), ppp = text.find("ppp-3.1", after),
           routing = text.find("routing-3.1", after);
    EXPECT_NE(system, std::string::npos) << text;
    EXPECT_LT(system, ppp) << text;
    EXPECT_LT(system, routing) << text;
    EXPECT_FALSE(contains(text.substr(after), "dhcp-3.1")) << text;
    expectInstalled(true, {"system", "ppp", "routing"}, {"dhcp"});
}

TEST_F(CdromRun, NoToContinueOrQuitInTheMenuLeavesTheDiskUntouched) {
    Files image = withSamples({"system", "routing"});
    std::string text = cdrom(image, installing("I", "y", "n"));
    EXPECT_TRUE(contains(text, "Continue? [y/n]:n\ncdromInstall=false\n")) << text;
    EXPECT_TRUE(untouched());

    text = cdrom(image, {{menuShown, "q"}, {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "\x1b[25;0H\x1b[?25hInstallation canceled\ncdromInstall=false\n"))
        << text;
    EXPECT_TRUE(untouched());
}

TEST_F(CdromRun, AMediumWithoutPackagesOrWithABadOneStopsBeforeTheMenu) {
    std::string text =
        cdrom(withSamples({}, {{"readme.txt", "no packages here"}}), {{"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "FATAL ERROR: No packages found\ncdromInstall=false\n")) << text;
    text = cdrom(withSamples({"system"}, {{"broken.rpx", std::string(100, 'x')}}),
                 {{"cdromInstall=", ""}});
    expectParts(text, {"FATAL ERROR: Bad package broken.rpx\n\ncdromInstall=false\n"},
                {"Welcome to Kestrova"});
    EXPECT_TRUE(untouched());
}

TEST_F(CdromRun, APackageThatCannotBeReadEndsInCorruptedCdromWithoutTheMarker) {
    std::string text = cdrom(withSamples({"system", "routing"}), installing("\x1b[B i"),
                             {"writable", "vanish:routing.rpx"});
    expectParts(text, {"\nFATAL ERROR: corrupted CD-ROM\ncdromInstall=false\n"},
                {"Software installed."});
    expectInstalled(false, {"system"}); // it went in first
}

TEST_F(CdromRun, ADriveThatBecomesReadyLaterIsFoundInALaterPass) {
    Files image = withSamples({"system"});
    auto started = std::chrono::steady_clock::now();
    std::string text = cdrom(image, {{menuShown, "q"}, {"cdromInstall=", ""}}, {"late:sr0:3"});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    expectParts(text, {"Installation canceled\ncdromInstall=false\n"}, {"no CD-ROM found"});
    EXPECT_GE(seconds, 3.0);
}

// No disc in any drive: the twenty passes are counted on the virtual clock (DiscSearch in
// flows_test); the boot image's installer goes from the disk to the disc in cdrom_vm_test.

// Packages of an unusual shape beside the system: one far larger than a pipe holds that the
// child refuses as soon as its header has been read (what it needs is on no disc), so that it
// stops reading long before the file ends; and one of exactly one 4096-byte block.
TEST_F(CdromRun, APackageRefusedEarlyOrOfExactlyOneBlockDoesNotStopTheInstallation) {
    std::string parts = partBytes(partHeader, headerBodyBytes({"needy", 0x03010000, 1700000000})) +
                        partBytes(partDescription, "needs what is not there") +
                        partBytes(partDepends, requirementListBytes({{"absent", 0, 0, 0}})) +
                        partBytes(partArchive, std::string(1 << 20, 'z'));
    // The tiny package's file is grown until the signed package fits.
    std::string tiny, content;
    uint32_t seed = 1;
    for (int i = 0; i < 4096 && tiny.size() < 4096; ++i) {
        seed = seed * 1103515245 + 12345;
        content += char(seed >> 16); // next to incompressible: a byte more each time
        tiny = streamtest::simple("tiny", 0x01000000, content).signedFile();
    }
    ASSERT_EQ(tiny.size(), 4096u);
    Files image =
        withSamples({"system"}, {{"needy.rpx", packageFileBytes(parts)}, {"tiny.rpx", tiny}});
    expectParts(cdrom(image, installing("ai")),
                {"absent is not installed, but is required", "installed tiny-1.0\n",
                 "Software installed.\ncdromInstall=true\n"});
    expectInstalled(true, {"system", "tiny"}, {"needy"});
    EXPECT_EQ(file("sda", "/tiny/file"), content);
}

} // namespace
