// The CD-ROM installation for real, as process 1 of the sandbox: the signed sample packages on
// a disc at /dev/sr0 (an ext2 image there, the development kernel having no iso9660), picked in
// the menu with keys on the console, installed through installer children onto a loop disk
// that is read back afterwards. The real installer binary runs the start-up's way into the flow.
#include "package/format/format.h"
#include "package/format/writer.h"
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/damaged_package.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/stream_packages.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using namespace installer;

namespace {

// The target: 60 cylinders of 16 heads and 63 sectors (one ext2 partition).
constexpr uint64_t targetBytes = 60ull * 16 * 63 * 512;

class CdromRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
        target = scratch.image("sda.img", targetBytes);
    }

    // A disc image holding these sample packages (and any extra files).
    std::string disc(const std::vector<std::string>& packages,
                     const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        std::string dir = folder / "disc";
        std::filesystem::create_directories(dir);
        for (const std::string& name : packages)
            std::filesystem::copy_file(std::string(SAMPLES_DIR) + "/" + name + ".rpx",
                                       dir + "/" + name + ".rpx");
        for (const auto& [name, content] : extra)
            std::ofstream(dir + "/" + name, std::ios::binary) << content;
        std::string image = scratch.add("sr0.img");
        std::string command = "mke2fs -q -F -t ext2 -d '" + dir + "' '" + image + "' 8M 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return image;
    }

    // Runs the flow; at each expected text the keys after it are typed.
    std::string run(const std::string& discImage,
                    const std::vector<std::pair<std::string, std::string>> dialogue,
                    const std::vector<std::string>& args = {}) {
        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {CDROM_SCENARIO};
        options.args = {CDROM_SCENARIO};
        options.args.insert(options.args.end(), args.begin(), args.end());
        options.disks = {{"sda", target}, {"sr0", discImage}};
        options.copies = {{scratch.text("geometry", "/dev/sda 16 63\n"), "/etc/sfdisk.geometry"}};
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
            sandbox.send(keys);
        }
        EXPECT_TRUE(sandbox.wait(180)) << sandbox.transcript();
        std::string transcript = sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
        return transcript;
    }

    bool installedFile(const std::string& path, std::string& contents) {
        uint64_t offset = 0, size = 0;
        if (!partitionExtent(target, 1, offset, size))
            return false;
        return readExtFile(target, offset, path, contents);
    }

    bool untouched() {
        std::ifstream image(target, std::ios::binary);
        std::string sector(512, '\1');
        image.read(sector.data(), 512);
        return sector == std::string(512, '\0');
    }

    ScratchFiles scratch{"cdrom"};
    ScratchFolder folder{"cdrom-disc"};
    std::string target;
};

const char* const menuShown = "(depends on nothing):";
const char* const keepQuestion = "Do you want to keep old configuration?  [y/n]:";
const char* const continueQuestion =
    "\nWarning: all data on the disk will be erased!\n\nContinue? [y/n]:";

} // namespace

TEST_F(CdromRun, PackagesPickedInTheMenuAreInstalledInDependencyOrderWithTheMarker) {
    std::string image = disc({"system", "ppp", "dhcp", "routing"});
    // ppp (second), routing (fourth, second column); dhcp stays out.
    std::string text = run(image, {{menuShown, "n \x1b[C\x1b[B "},
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
    std::string contents;
    EXPECT_TRUE(installedFile("/CDINSTALL", contents));
    EXPECT_EQ(contents, "");
    for (const char* name : {"system", "ppp", "routing"})
        EXPECT_TRUE(installedFile(std::string("/var/pdb/") + name + "/version", contents)) << name;
    EXPECT_FALSE(installedFile("/var/pdb/dhcp/version", contents));
}

TEST_F(CdromRun, NoToContinueOrQuitInTheMenuLeavesTheDiskUntouched) {
    std::string image = disc({"system", "routing"});
    std::string text = run(
        image,
        {{menuShown, "I"}, {keepQuestion, "y"}, {continueQuestion, "n"}, {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "Continue? [y/n]:n\ncdromInstall=false\n")) << text;
    EXPECT_TRUE(untouched());

    text = run(image, {{menuShown, "q"}, {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "\x1b[25;0H\x1b[?25hInstallation canceled\ncdromInstall=false\n"))
        << text;
    EXPECT_TRUE(untouched());
}

TEST_F(CdromRun, AMediumWithoutPackagesOrWithABadOneStopsBeforeTheMenu) {
    std::string text = run(disc({}, {{"readme.txt", "no packages here"}}), {{"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "FATAL ERROR: No packages found\ncdromInstall=false\n")) << text;
    std::string bad =
        run(disc({"system"}, {{"broken.rpx", std::string(100, 'x')}}), {{"cdromInstall=", ""}});
    EXPECT_TRUE(contains(bad, "FATAL ERROR: Bad package broken.rpx\n\ncdromInstall=false\n"))
        << bad;
    EXPECT_FALSE(contains(bad, "Welcome to Kestrova")) << "no menu";
    EXPECT_TRUE(untouched());
}

TEST_F(CdromRun, APackageThatCannotBeReadEndsInCorruptedCdromWithoutTheMarker) {
    std::string image = disc({"system", "routing"});
    std::string text = run(image,
                           {{menuShown, "\x1b[B i"},
                            {keepQuestion, "n"},
                            {continueQuestion, "y"},
                            {"cdromInstall=", ""}},
                           {"writable", "vanish:routing.rpx"});
    EXPECT_TRUE(contains(text, "\nFATAL ERROR: corrupted CD-ROM\ncdromInstall=false\n")) << text;
    EXPECT_FALSE(contains(text, "Software installed.")) << text;
    std::string contents;
    EXPECT_TRUE(installedFile("/var/pdb/system/version", contents)) << "system went in first";
    EXPECT_FALSE(installedFile("/CDINSTALL", contents));
}

TEST_F(CdromRun, ADriveThatBecomesReadyLaterIsFoundInALaterPass) {
    std::string image = disc({"system"});
    auto started = std::chrono::steady_clock::now();
    std::string text = run(image, {{menuShown, "q"}, {"cdromInstall=", ""}}, {"late:sr0:3"});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(contains(text, "Installation canceled\ncdromInstall=false\n")) << text;
    EXPECT_FALSE(contains(text, "no CD-ROM found")) << text;
    EXPECT_GE(seconds, 3.0);
}

TEST_F(CdromRun, APackageTheInstallerChildRefusesEarlyDoesNotStopTheInstallation) {
    // Far larger than a pipe holds, and refused as soon as its header has been read (what it
    // needs is on no disc), so the child stops reading long before the file ends.
    using namespace installer;
    std::string parts = partBytes(partHeader, headerBodyBytes({"needy", 0x03010000, 1700000000})) +
                        partBytes(partDescription, "needs what is not there") +
                        partBytes(partDepends, requirementListBytes({{"absent", 0, 0, 0}})) +
                        partBytes(partArchive, std::string(1 << 20, 'z'));
    std::string image = disc({"system"}, {{"needy.rpx", packageFileBytes(parts)}});
    std::string text = run(
        image,
        {{menuShown, "n i"}, {keepQuestion, "n"}, {continueQuestion, "y"}, {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "absent is not installed, but is required")) << text;
    EXPECT_TRUE(contains(text, "Software installed.\ncdromInstall=true\n")) << text;
    std::string contents;
    EXPECT_TRUE(installedFile("/CDINSTALL", contents));
}

// No disc in any drive: the twenty passes are counted on the virtual clock (DiscSearch in
// flows_test); the boot image's installer goes from the disk to the disc in cdrom_vm_test.

TEST_F(CdromRun, APackageOfExactlyOneBlockIsInstalledWhole) {
    // A signed package of exactly 4096 bytes: its file's content is grown until it fits.
    std::string tiny;
    uint32_t seed = 1;
    std::string content;
    for (int i = 0; i < 4096 && tiny.size() < 4096; ++i) {
        seed = seed * 1103515245 + 12345;
        content += char(seed >> 16); // next to incompressible: a byte more each time
        tiny = streamtest::simple("tiny", 0x01000000, content).signedFile();
    }
    ASSERT_EQ(tiny.size(), 4096u);
    std::string image = disc({"system"}, {{"tiny.rpx", tiny}});
    std::string text = run(
        image,
        {{menuShown, "n i"}, {keepQuestion, "n"}, {continueQuestion, "y"}, {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "installed tiny-1.0\n")) << text;
    EXPECT_TRUE(contains(text, "Software installed.\ncdromInstall=true\n")) << text;
    std::string contents;
    EXPECT_TRUE(installedFile("/tiny/file", contents));
    EXPECT_EQ(contents, content);
}

// Faults of the disc and of the target, each with the whole menu picked.
const char* const allPicked = "ai";

TEST_F(CdromRun, DamagedOrCutShortPackagesAreReportedBrokenAndTheOthersStillGoIn) {
    auto sample = [](const std::string& name) {
        std::ifstream file(std::string(SAMPLES_DIR) + "/" + name + ".rpx", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    std::string dhcp = sample("dhcp");
    std::string image =
        disc({"system", "routing"}, {{"ppp.rpx", withDamagedEnd(sample("ppp"))},
                                     {"dhcp.rpx", cutShort(dhcp, dhcp.size() - 40)}});
    std::string text = run(image, {{menuShown, allPicked},
                                   {keepQuestion, "n"},
                                   {continueQuestion, "y"},
                                   {"cdromInstall=", ""}});
    EXPECT_TRUE(contains(text, "ERROR: installation of ppp-3.1 failed: broken package\n")) << text;
    EXPECT_TRUE(contains(text, "ERROR: installation of dhcp-3.1 failed: broken package\n")) << text;
    EXPECT_TRUE(contains(text, "Software installed.\ncdromInstall=true\n")) << text;
    std::string contents;
    EXPECT_TRUE(installedFile("/CDINSTALL", contents));
    for (const char* name : {"system", "routing"})
        EXPECT_TRUE(installedFile(std::string("/var/pdb/") + name + "/version", contents)) << name;
    for (const char* name : {"ppp", "dhcp"})
        EXPECT_FALSE(installedFile(std::string("/var/pdb/") + name + "/version", contents)) << name;
}

TEST_F(CdromRun, ATargetTooSmallForAPackageEndsTheFlowWithoutSuccessOrMarker) {
    // 40 MB of zeros, a few kilobytes on the disc, for a 31 MB target.
    std::string bulk =
        streamtest::simple("bulk", 0x01000000, std::string(40 << 20, '\0')).signedFile();
    std::string image = disc({"system", "routing"}, {{"bulk.rpx", bulk}});
    std::string text = run(image, {{menuShown, allPicked},
                                   {keepQuestion, "n"},
                                   {continueQuestion, "y"},
                                   {"cdromInstall=", ""}});
    size_t failed = text.find("ERROR: installation of bulk-1.0 failed: disk is too small\n");
    ASSERT_NE(failed, std::string::npos) << text;
    EXPECT_TRUE(contains(text, "cdromInstall=false\n")) << text;
    EXPECT_FALSE(contains(text.substr(failed), "installed")) << "nothing after it: " << text;
    std::string contents;
    EXPECT_FALSE(installedFile("/CDINSTALL", contents));
    EXPECT_FALSE(installedFile("/var/pdb/bulk/version", contents));
}
