// Faults a real installation meets, as process 1 of the sandbox through the disk scenario
// runner's hard-disk installation: a target too small for its packages, a file-system creator
// that fails, and Ctrl-C while the disk is being formatted and while a package goes in. Each
// ends in its message, never in a hang; what failed is not reported or recorded as installed,
// and an interrupted run leaves nothing mounted.
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/damaged_package.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string samples = INSTALLER_BINARY_DIR "/samples/";
const std::string rpx = INSTALLER_BINARY_DIR "/tools/rpx/rpx";
const std::string devKey = INSTALLER_SOURCE_DIR "/keys/dev.sec";
constexpr uint64_t cylinderBytes = 16 * 63 * 512;

// A first sector with a table, as a medium's "mbr" file.
std::string bootRecordImage() {
    std::string sector(512, 'M');
    sector[510] = char(0x55);
    sector[511] = char(0xaa);
    return sector;
}

class FaultRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    // A signed package "bulk" of one file of `bytes` zero bytes: small on the medium, large
    // once installed, and slow to go in.
    std::string bulkPackage(uint64_t bytes) {
        std::string dir = folder / "src-bulk";
        std::filesystem::create_directories(dir + "/tree/bulk");
        std::string zeros = dir + "/tree/bulk/zeros";
        std::ofstream{zeros};
        std::filesystem::resize_file(zeros, bytes);
        std::ofstream(dir + "/manifest")
            << "name: bulk\nversion: 1.0\nbuild-time: 1700000000\nentry-time: 1700000000\n"
            << "owner: 0 0\ndescription: a large package\n";
        std::string output = folder / "bulk.rpx";
        std::string command = rpx + " build --manifest " + dir + "/manifest --tree " + dir +
                              "/tree --output " + output + " >/dev/null && " + rpx +
                              " sign --key " + devKey + " " + output + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return output;
    }

    // The medium on sda, a whole-disk file system of `cylinders`, which is also the target.
    void medium(uint64_t cylinders, const std::map<std::string, std::string>& packages) {
        std::string dir = folder / "medium";
        std::filesystem::create_directories(dir);
        for (const auto& [name, source] : packages)
            std::filesystem::copy_file(source, dir + "/" + name);
        std::ofstream(dir + "/mbr", std::ios::binary) << bootRecordImage();
        std::ofstream(dir + "/autorun.scr") << "hostname edge-1\n";
        image = scratch.image("sda.img", cylinders * cylinderBytes + 63 * 256);
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + image + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // Runs the scenario's steps; `during` acts on the running sandbox before the end is awaited.
    std::string run(const std::vector<std::string>& steps,
                    const std::function<void(Sandbox&)>& during = {}) {
        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {DISK_SCENARIO};
        options.args = {DISK_SCENARIO};
        options.args.insert(options.args.end(), steps.begin(), steps.end());
        options.disks = {{"sda", image}};
        options.copies = {{scratch.text("geometry", "/dev/sda 16 63\n"), "/etc/sfdisk.geometry"}};
        Sandbox sandbox(options);
        if (!sandbox.start()) {
            ADD_FAILURE() << sandbox.error();
            return "";
        }
        if (during)
            during(sandbox);
        EXPECT_TRUE(sandbox.wait(240)) << sandbox.transcript();
        std::string transcript = sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
        return transcript;
    }

    // Ctrl-C now: the abort message, everything unmounted, the flow stopped where it was, and
    // ENTER ends the run (the sandbox refuses the restart).
    static void interrupt(Sandbox& sandbox) {
        sandbox.send("\x03");
        ASSERT_TRUE(sandbox.waitFor("\n\nInstallation aborted\nPress ENTER to reboot\n", 10))
            << sandbox.transcript();
        std::string mounts;
        for (int i = 0; i < 40; ++i) {
            mounts = sandbox.mountPoints();
            if (!contains(mounts, "/flash") && !contains(mounts, "/floppy"))
                break;
            usleep(50000);
        }
        EXPECT_FALSE(contains(mounts, "/flash")) << mounts;
        EXPECT_FALSE(contains(mounts, "/floppy")) << mounts;
        usleep(1000000);
        EXPECT_TRUE(sandbox.running()) << "waits for ENTER";
        sandbox.send("\r");
    }

    bool installed(const std::string& path) {
        uint64_t offset = 0, size = 0;
        std::string contents;
        return partitionExtent(image, 1, offset, size) &&
               readExtFile(image, offset, path, contents);
    }

    ScratchFiles scratch{"faults"};
    ScratchFolder folder{"faults"};
    std::string image;
};

// A full disk is the target's failure, not the package's: the child says so in its status,
// and the flow stops there instead of going on to a success it cannot have. The larger
// package goes first, so nothing comes after it.
TEST_F(FaultRun, TargetTooSmallForAPackageSaysDiskIsTooSmallAndEndsTheFlow) {
    // 100 cylinders (50 MB) for 120 MB.
    medium(100, {{"system.rpx", samples + "system.rpx"}, {"bulk.rpx", bulkPackage(120 << 20)}});
    std::string text = run({"hdd-install"});
    EXPECT_TRUE(contains(text, "ERROR: installation of bulk-1.0 failed: disk is too small\n"))
        << text;
    EXPECT_TRUE(contains(text, "hardDiskInstall=false\n")) << text;
    EXPECT_FALSE(contains(text, "installed bulk-1.0")) << text;
    EXPECT_FALSE(contains(text, "installing system-3.1")) << "no package after it: " << text;
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
    EXPECT_FALSE(installed("/var/pdb/bulk/version")) << "no record of the failed package";
    EXPECT_FALSE(installed("/rw/autorun.scr")) << "the flow did not go on to the script";
}

TEST_F(FaultRun, FailingFileSystemCreatorEndsTheFlowBeforeAnyPackage) {
    medium(100, {{"system.rpx", samples + "system.rpx"}});
    std::string text = run({"failing-tool:/sbin/mke2fs", "hdd-install"});
    EXPECT_TRUE(contains(text, "ERROR: could not format partitions\n")) << text;
    EXPECT_TRUE(contains(text, "hardDiskInstall=false\n")) << text;
    EXPECT_FALSE(contains(text, "installed system-")) << text;
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
}

TEST_F(FaultRun, CtrlCWhileAPackageGoesInAbortsUnmountsAndEndsAfterEnter) {
    // 600 cylinders (300 MB) for 150 MB of one package, which takes a while to go in.
    medium(600, {{"system.rpx", samples + "system.rpx"}, {"bulk.rpx", bulkPackage(150 << 20)}});
    std::string text = run({"interrupts", "hdd-install"}, [](Sandbox& sandbox) {
        // The larger package goes first; its progress bar shows it has begun.
        ASSERT_TRUE(sandbox.waitFor("installing bulk-1.0 [", 120)) << sandbox.transcript();
        interrupt(sandbox);
    });
    EXPECT_TRUE(contains(text, "Installation aborted\n")) << text;
    EXPECT_FALSE(contains(text, "installed bulk-1.0")) << text;
    EXPECT_FALSE(contains(text, "installing system-3.1")) << text;
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
    EXPECT_FALSE(contains(text, "hardDiskInstall=")) << "the flow did not go on: " << text;
}

// Damaged packages on the hard-disk medium: a package the child cannot install is its own
// failure, not the disk's, and the flow goes on to success with the others.
TEST_F(FaultRun, DamagedOrCutShortPackagesOnTheMediumAreReportedBrokenAndTheRestGoIn) {
    std::string ppp = folder / "ppp-damaged.rpx", dhcp = folder / "dhcp-cut.rpx";
    std::ofstream(ppp, std::ios::binary) << withDamagedEnd(fileContents(samples + "ppp.rpx"));
    std::string whole = fileContents(samples + "dhcp.rpx");
    std::ofstream(dhcp, std::ios::binary) << cutShort(whole, whole.size() - 40);
    medium(100, {{"system.rpx", samples + "system.rpx"},
                 {"routing.rpx", samples + "routing.rpx"},
                 {"ppp.rpx", ppp},
                 {"dhcp.rpx", dhcp}});
    std::string text = run({"hdd-install"});
    EXPECT_TRUE(contains(text, "ERROR: installation of ppp-3.1 failed: broken package\n")) << text;
    EXPECT_TRUE(contains(text, "ERROR: installation of dhcp-3.1 failed: broken package\n")) << text;
    EXPECT_TRUE(contains(text, "Software installed.\n")) << text;
    EXPECT_TRUE(contains(text, "hardDiskInstall=true\n")) << text;
    EXPECT_TRUE(installed("/var/pdb/system/version"));
    EXPECT_TRUE(installed("/var/pdb/routing/version"));
    EXPECT_FALSE(installed("/var/pdb/ppp/version"));
    EXPECT_FALSE(installed("/var/pdb/dhcp/version"));
}

} // namespace
