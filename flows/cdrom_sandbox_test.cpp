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
#include "testbed/support/transcript_parts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using namespace installer;

namespace {

// The target: 60 cylinders of 16 heads and 63 sectors (one ext2 partition).
constexpr uint64_t targetBytes = 60ull * 16 * 63 * 512;

using Dialogue = std::vector<std::pair<std::string, std::string>>;

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

std::string sample(const std::string& name) {
    return fileContents(std::string(SAMPLES_DIR) + "/" + name + ".rpx");
}

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
            writeFile(dir + "/" + name + ".rpx", sample(name));
        for (const auto& [name, content] : extra)
            writeFile(dir + "/" + name, content);
        std::string image = scratch.add("sr0.img");
        std::string command = "mke2fs -q -F -t ext2 -d '" + dir + "' '" + image + "' 8M 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return image;
    }

    // Runs the flow; at each expected text the keys after it are typed.
    std::string run(const std::string& discImage, const Dialogue& dialogue,
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

    // On the target afterwards: the marker when `marked`, and the records of the packages.
    void expectInstalled(bool marked, const std::vector<std::string>& packages,
                         const std::vector<std::string>& notInstalled = {}) {
        std::string contents;
        EXPECT_EQ(installedFile("/CDINSTALL", contents), marked);
        if (marked) {
            EXPECT_EQ(contents, "");
        }
        for (const std::string& name : packages)
            EXPECT_TRUE(installedFile("/var/pdb/" + name + "/version", contents)) << name;
        for (const std::string& name : notInstalled)
            EXPECT_FALSE(installedFile("/var/pdb/" + name + "/version", contents)) << name;
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
    expectInstalled(true, {"system", "ppp", "routing"}, {"dhcp"});
}

TEST_F(CdromRun, NoToContinueOrQuitInTheMenuLeavesTheDiskUntouched) {
    std::string image = disc({"system", "routing"});
    std::string text = run(image, installing("I", "y", "n"));
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
    text = run(disc({"system"}, {{"broken.rpx", std::string(100, 'x')}}), {{"cdromInstall=", ""}});
    expectParts(text, {"FATAL ERROR: Bad package broken.rpx\n\ncdromInstall=false\n"},
                {"Welcome to Kestrova"});
    EXPECT_TRUE(untouched());
}

TEST_F(CdromRun, APackageThatCannotBeReadEndsInCorruptedCdromWithoutTheMarker) {
    std::string text = run(disc({"system", "routing"}), installing("\x1b[B i"),
                           {"writable", "vanish:routing.rpx"});
    expectParts(text, {"\nFATAL ERROR: corrupted CD-ROM\ncdromInstall=false\n"},
                {"Software installed."});
    expectInstalled(false, {"system"}); // it went in first
}

TEST_F(CdromRun, ADriveThatBecomesReadyLaterIsFoundInALaterPass) {
    std::string image = disc({"system"});
    auto started = std::chrono::steady_clock::now();
    std::string text = run(image, {{menuShown, "q"}, {"cdromInstall=", ""}}, {"late:sr0:3"});
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
    std::string image =
        disc({"system"}, {{"needy.rpx", packageFileBytes(parts)}, {"tiny.rpx", tiny}});
    expectParts(run(image, installing("ai")),
                {"absent is not installed, but is required", "installed tiny-1.0\n",
                 "Software installed.\ncdromInstall=true\n"});
    expectInstalled(true, {"system", "tiny"}, {"needy"});
    std::string contents;
    EXPECT_TRUE(installedFile("/tiny/file", contents));
    EXPECT_EQ(contents, content);
}

TEST_F(CdromRun, DamagedOrCutShortPackagesAreReportedBrokenAndTheOthersStillGoIn) {
    std::string dhcp = sample("dhcp");
    std::string image =
        disc({"system", "routing"}, {{"ppp.rpx", withDamagedEnd(sample("ppp"))},
                                     {"dhcp.rpx", cutShort(dhcp, dhcp.size() - 40)}});
    expectParts(run(image, installing("ai")),
                {"ERROR: installation of ppp-3.1 failed: broken package\n",
                 "ERROR: installation of dhcp-3.1 failed: broken package\n",
                 "Software installed.\ncdromInstall=true\n"});
    expectInstalled(true, {"system", "routing"}, {"ppp", "dhcp"});
}

TEST_F(CdromRun, ATargetTooSmallForAPackageEndsTheFlowWithoutSuccessOrMarker) {
    // 40 MB of zeros, a few kilobytes on the disc, for a 31 MB target.
    std::string bulk =
        streamtest::simple("bulk", 0x01000000, std::string(40 << 20, '\0')).signedFile();
    std::string text = run(disc({"system", "routing"}, {{"bulk.rpx", bulk}}), installing("ai"));
    size_t failed = text.find("ERROR: installation of bulk-1.0 failed: disk is too small\n");
    ASSERT_NE(failed, std::string::npos) << text;
    EXPECT_TRUE(contains(text, "cdromInstall=false\n")) << text;
    EXPECT_FALSE(contains(text.substr(failed), "installed")) << "nothing after it: " << text;
    expectInstalled(false, {}, {"bulk"});
}
