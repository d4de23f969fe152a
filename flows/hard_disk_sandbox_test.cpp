// The hard-disk installation for real, as process 1 of the sandbox: the medium is a whole-disk
// file system on a loop device (ext2 here, since this kernel has no FAT), the packages are the
// signed samples and packages built for the test with rpx, and afterwards the disk images are
// read from outside with the sector-based sfdisk and debugfs.
#include "disk/boot_record.h"
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace installer;

namespace {

const std::string samples = INSTALLER_BINARY_DIR "/samples/";
const std::string rpx = INSTALLER_BINARY_DIR "/tools/rpx/rpx";
const std::string devKey = INSTALLER_SOURCE_DIR "/keys/dev.sec";
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

struct Key {
    std::string expect; // console text to wait for
    std::string send;   // keys typed once it is there
};

class HardDiskRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    // A package built and signed for this test: name, version, dependencies, one file.
    std::string package(const std::string& name, const std::string& depends = "") {
        std::string dir = folder / ("src-" + name);
        std::filesystem::create_directories(dir + "/tree/etc");
        std::ofstream(dir + "/tree/etc/" + name + ".conf") << name << " settings\n";
        std::ofstream(dir + "/manifest")
            << "name: " << name << "\nversion: 1.0\nbuild-time: 1700000000\n"
            << "entry-time: 1700000000\nowner: 0 0\ndescription: test package " << name << "\n"
            << (depends.empty() ? "" : "depends: " + depends + "\n");
        std::string output = folder / (name + ".rpx");
        std::string command = rpx + " build --manifest " + dir + "/manifest --tree " + dir +
                              "/tree --output " + output + " >/dev/null && " + rpx +
                              " sign --key " + devKey + " " + output + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return output;
    }

    // A disk holding one whole-disk file system with these files (name → host file or text).
    void medium(const std::string& disk, uint64_t cylinders,
                const std::map<std::string, std::string>& files) {
        std::string dir = folder / ("medium-" + disk + std::to_string(++media));
        std::filesystem::create_directories(dir);
        for (const auto& [name, source] : files) {
            if (source.rfind("/", 0) == 0)
                std::filesystem::copy_file(source, dir + "/" + name);
            else
                std::ofstream(dir + "/" + name, std::ios::binary) << source;
        }
        std::string image = blank(disk, cylinders);
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + image + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string blank(const std::string& disk, uint64_t cylinders) {
        geometry += "/dev/" + disk + " 16 63\n";
        return images[disk] = scratch.image(disk + ".img", cylinders * cylinderBytes + 63 * 256);
    }

    std::string run(const std::vector<std::string>& steps, const std::vector<Key>& keys = {},
                    double seconds = 180) {
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
        EXPECT_TRUE(sandbox.wait(seconds)) << sandbox.transcript();
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

    std::string installed(const std::string& disk, const std::string& path) {
        uint64_t offset = 0, size = 0;
        if (!partitionExtent(images[disk], 1, offset, size))
            return "(no partition 1)";
        std::string contents, error;
        if (!readExtFile(images[disk], offset, path, contents, &error))
            return "(missing: " + error + ")";
        return contents;
    }

    std::string onMedium(const std::string& disk, const std::string& path) {
        std::string contents, error;
        if (!readExtFile(images[disk], 0, path, contents, &error))
            return "(missing: " + error + ")";
        return contents;
    }

    ScratchFiles scratch{"hdd-run"};
    ScratchFolder folder{"hdd-run"};
    std::map<std::string, std::string> images;
    std::string geometry;
    int media = 0;
};

std::map<std::string, std::string> sampleMedium(const std::string& script) {
    return {{"system.rpx", samples + "system.rpx"},
            {"routing.rpx", samples + "routing.rpx"},
            {"ppp.rpx", samples + "ppp.rpx"},
            {"dhcp.rpx", samples + "dhcp.rpx"},
            {"mbr", bootRecordImage()},
            {"autorun.scr", script}};
}

TEST_F(HardDiskRun, EveryPackageOfTheMediumIsInstalledOntoTheMediumsOwnDisk) {
    auto files = sampleMedium("hostname edge-1\n");
    // Last on the screen (system, ppp, dhcp, routing, zz-monitor), installed right after
    // routing, which it needs, and before dhcp and ppp.
    files["zz-monitor.rpx"] = package("zz-monitor", "routing 3.0");
    files["defpacks"] = "system\n"; // the marks it names do not limit what is installed
    medium("sda", 100, files);
    std::string text = run({"record-tool", "save-first-sector", "hdd-install", "mounts",
                            "hex:/tmp/sda.sector:0:512", "show:/tmp/sfdisk.log"});
    EXPECT_TRUE(contains(text, "hard disk installation")) << text;
    EXPECT_TRUE(contains(text, "\nLoading drivers\nLooking for harddrives...")) << text;
    EXPECT_TRUE(contains(text, "Reading: system-")) << text;
    EXPECT_TRUE(contains(text, "Reading: system-3.1...\nReading: routing-3.1...\n"
                               "Reading: zz-monitor-1.0...\nReading: dhcp-3.1...\n"
                               "Reading: ppp-3.1...\n\n"))
        << text;
    EXPECT_TRUE(contains(text, "\nSoftware installed.\nhardDiskInstall=true\n"
                               "/dev/sda 100 516096 one-partition ext3\n"
                               "nothing mounted at /flash\n"))
        << text;
    // In dependency order, whatever the screen's order.
    std::vector<size_t> at;
    for (const char* label : {"system-3.1", "routing-3.1", "zz-monitor-1.0", "dhcp-3.1", "ppp-3.1"})
        at.push_back(text.find(std::string("installed ") + label + "\n"));
    for (size_t i = 0; i < at.size(); ++i) {
        ASSERT_NE(at[i], std::string::npos) << i << text;
        if (i > 0) {
            EXPECT_LT(at[i - 1], at[i]) << text;
        }
    }
    EXPECT_FALSE(contains(text, "ERROR")) << text;

    // The image's table reached the disk before it was repartitioned: its four entries are
    // cleared; and the boot code went over its first bytes.
    std::string sector = bootRecordImage();
    std::string code(reinterpret_cast<const char*>(bootCode), sizeof bootCode);
    EXPECT_TRUE(contains(text, "--- hex /tmp/sda.sector\n" + hex(code) + std::string(524, '0') +
                                   hex(sector.substr(446)) + "\n"))
        << text;
    EXPECT_TRUE(contains(text, "call: -q -uC /dev/sda\ninput: 0,100,83,*\ninput: 0,0,0\n"
                               "input: 0,0,0\ninput: 0,0,0\n--- end\n"))
        << text;
    EXPECT_EQ(sectorTable("sda"), "start=          63, size=      100737, type=83, bootable\n");
    EXPECT_EQ(installed("sda", "/rw/autorun.scr"), "hostname edge-1\n");
    EXPECT_EQ(installed("sda", "/etc/zz-monitor.conf"), "zz-monitor settings\n");
    for (const char* name : {"system", "routing", "ppp", "dhcp", "zz-monitor"})
        EXPECT_FALSE(
            contains(installed("sda", std::string("/var/pdb/") + name + "/version"), "(missing"))
            << name;
}

TEST_F(HardDiskRun, ChooseModeInstallsThePickedPackagesAndLeavesTheFirstSectorToTheBootCode) {
    auto files = sampleMedium(""); // an empty script stays empty
    files["CHOOSE"] = "";
    files["mbr"] = "too short"; // never opened in this mode
    medium("sdb", 100, files);
    // The screen order is system, ppp, dhcp, routing: down to dhcp, pick it, install.
    std::string text = run({"record-tool", "save-first-sector", "hdd-install",
                            "hex:/tmp/sdb.sector:446:66", "show:/tmp/sfdisk.log"},
                           {{"cancel and reboot.", "nn"}, {"dhcp (depends on", " i"}});
    EXPECT_TRUE(contains(text, "\nSoftware installed.\nhardDiskInstall=true\n")) << text;
    EXPECT_FALSE(contains(text, "mbr file")) << text;
    EXPECT_TRUE(contains(text, "installed system-")) << text;
    EXPECT_TRUE(contains(text, "installed dhcp-")) << text;
    EXPECT_FALSE(contains(text, "installed routing-")) << text;
    EXPECT_FALSE(contains(text, "installed ppp-")) << text;
    EXPECT_FALSE(contains(text, "Reading: routing")) << text;
    // Nothing replaced the medium's own first sector, which had no table.
    EXPECT_TRUE(contains(text, "--- hex /tmp/sdb.sector\n" + std::string(132, '0') + "\n")) << text;
    EXPECT_TRUE(contains(text, "input: 0,100,83,*\n--- end\n")) << text;
    EXPECT_EQ(installed("sdb", "/rw/autorun.scr"), "");
    EXPECT_FALSE(contains(installed("sdb", "/var/pdb/dhcp/version"), "(missing"));
    EXPECT_TRUE(contains(installed("sdb", "/var/pdb/routing/version"), "(missing"));
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
    EXPECT_EQ(installed("sdb", "/rw/autorun.scr"), "x\n");
    EXPECT_EQ(onMedium("hda", "/notes.txt"), "keep me\n");
    EXPECT_EQ(sectorTable("hda"), "");
    EXPECT_EQ(sectorTable("hdb"), "");
}

// Each of these ends the installation while the medium is still untouched: afterwards it is
// whole and readable, and its disk has no table.
TEST_F(HardDiskRun, MediumThatCannotBeInstalledEndsTheFlowBeforeItsDiskIsWritten) {
    struct Case {
        std::string title;
        std::map<std::string, std::string> files;
        std::vector<std::string> before; // steps before the installation
        std::string message;
    };
    std::string truncated = folder / "truncated.rpx";
    {
        std::string whole = fileContents(samples + "routing.rpx");
        std::ofstream(truncated, std::ios::binary) << whole.substr(0, whole.size() - 100);
    }
    std::map<std::string, std::string> many{{"mbr", bootRecordImage()}, {"autorun.scr", ""}};
    for (int i = 0; i < 51; ++i) {
        std::string name = "p" + std::to_string(100 + i);
        many[name + ".rpx"] = package(name);
    }
    auto withTruncated = sampleMedium("");
    withTruncated["routing.rpx"] = truncated;
    auto shortImage = sampleMedium("");
    shortImage["mbr"] = std::string(511, 'M');
    std::vector<Case> cases = {
        {"a truncated package", withTruncated, {}, "FATAL ERROR: Bad package"},
        {"51 packages", many, {}, "\nFATAL ERROR: 51 packages to install, but room for only 50\n"},
        {"too little memory",
         sampleMedium(""),
         {"meminfo:1"}, // half a KiB for 1.3 KiB
         "\nFATAL ERROR: installation files too large for memory ("},
        {"a short boot-record image", shortImage, {}, "\nFATAL ERROR: Couldn't read mbr file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        images.clear();
        geometry.clear();
        medium("sda", 100, c.files);
        std::vector<std::string> steps = c.before;
        steps.push_back("hdd-install");
        std::string text = run(steps, {}, 120);
        EXPECT_TRUE(contains(text, c.message)) << text;
        EXPECT_TRUE(contains(text, "hardDiskInstall=false\n")) << text;
        EXPECT_FALSE(contains(text, "Creating partition")) << text;
        EXPECT_EQ(onMedium("sda", "/mbr"), c.files.at("mbr"));
        EXPECT_EQ(sectorTable("sda"), "");
    }
}

TEST_F(HardDiskRun, MediumWhoseDiskIsNotListedStopsBeforeThePartitioning) {
    medium("sda", 100, sampleMedium(""));
    std::string text = run({"fake-tool:/sbin/sfdisk:Disks:\\n"
                            "/dev/sdc 100 cylinders, 16 heads, 63 sectors/track\\n",
                            "hdd-install"});
    EXPECT_TRUE(contains(text, "\nFATAL ERROR: Couldn't find the disk!\nhardDiskInstall=false\n"))
        << text;
    EXPECT_FALSE(contains(text, "Creating partition")) << text;
}

TEST_F(HardDiskRun, CancelInTheMenuInstallsNothing) {
    auto files = sampleMedium("");
    files["CHOOSE"] = "";
    medium("sda", 100, files);
    std::string text = run({"hdd-install"}, {{"cancel and reboot.", "q"}});
    EXPECT_TRUE(contains(text, "Installation canceled\nhardDiskInstall=false\n")) << text;
    EXPECT_EQ(onMedium("sda", "/autorun.scr"), "");
    EXPECT_EQ(sectorTable("sda"), "");
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
