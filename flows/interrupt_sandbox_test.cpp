// Ctrl-C on the console at every step of the three installations, each run as process 1 of
// the sandbox: the CD-ROM and hard-disk flows through their scenario runners, the network
// installation as the boot image's installer itself talking to the test peer. A step that is
// over too soon to be caught is held there by the stand-in: in place of a tool of the boot
// image, as the shell of a package's install script, or as the installed system's finishing
// program. Each case ends in the abort dialogue with nothing left mounted, waits for ENTER and
// ends the run there, the flow not going on; once the flow has ended Ctrl-C changes nothing.
#include "testbed/net_namespace.h"
#include "testbed/net_peer.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string rpx = INSTALLER_BINARY_DIR "/tools/rpx/rpx";
const std::string devKey = INSTALLER_SOURCE_DIR "/keys/dev.sec";
constexpr uint64_t cylinderBytes = 16 * 63 * 512;
const char* const abortDialogue = "\n\nInstallation aborted\nPress ENTER to reboot\n";
const char* const menuShown = "(depends on nothing):";
const char* const keepQuestion = "Do you want to keep old configuration?  [y/n]:";
const char* const continueQuestion = "Continue? [y/n]:";

// What a test package carries besides a file of its own: nothing, the stand-in as the shell
// its install script runs in (its installation holds), or the stand-in as the program the
// installed system finishes itself with (the post-install step holds).
enum class Holds { nothing, install, finish };

struct Package {
    std::string name, depends;
    Holds holds = Holds::nothing;
};

// A signed package of version 1.0, built once per test process.
std::string packageFile(const Package& package) {
    static ScratchFolder folder("interrupt-packages");
    static std::map<std::string, std::string> built;
    std::string key =
        package.name + "-" + package.depends + "-" + std::to_string(int(package.holds));
    if (built.count(key))
        return built[key];
    std::string dir = folder / ("src-" + key);
    std::filesystem::create_directories(dir + "/tree/etc");
    std::filesystem::create_directories(dir + "/tree/bin");
    std::ofstream(dir + "/tree/etc/" + package.name + ".conf") << package.name << "\n";
    std::ofstream manifest(dir + "/manifest");
    manifest << "name: " << package.name << "\nversion: 1.0\nbuild-time: 1700000000\n"
             << "entry-time: 1700000000\nowner: 0 0\ndescription: test package\n";
    if (!package.depends.empty())
        manifest << "depends: " << package.depends << "\n";
    if (package.holds != Holds::nothing)
        std::filesystem::copy_file(
            STALL_TOOL, dir + "/tree/bin/" + (package.holds == Holds::install ? "bash" : "tavo"));
    if (package.holds == Holds::install) {
        std::ofstream(dir + "/oninstall") << "true\n";
        manifest << "oninstall: oninstall\n";
    }
    manifest.close();
    std::string output = folder / (key + ".rpx");
    std::string command = rpx + " build --manifest " + dir + "/manifest --tree " + dir +
                          "/tree --output " + output + " >/dev/null && " + rpx + " sign --key " +
                          devKey + " " + output + " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return built[key] = output;
}

// The stand-in runs now among the processes of the run.
bool standInRuns(const Sandbox& sandbox) {
    std::map<pid_t, pid_t> parents;
    std::vector<pid_t> standIns;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0)
                continue;
            std::string stat = fileContents(std::string("/proc/") + entry->d_name + "/stat");
            size_t open = stat.find('('), close = stat.rfind(')');
            if (open == std::string::npos || close == std::string::npos)
                continue;
            int parent = 0;
            std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent);
            parents[pid] = parent;
            if (stat.substr(open + 1, close - open - 1) == "stalling")
                standIns.push_back(pid);
        }
        closedir(proc);
    }
    for (pid_t pid : standIns)
        for (pid_t up = pid; up > 1 && parents.count(up); up = parents[up])
            if (up == sandbox.hostPid())
                return true;
    return false;
}

struct Key {
    std::string expect, send;
};

// One step of a flow and how the run is held there.
struct Stage {
    std::string name;
    std::vector<Package> packages; // on the medium, or served in this order
    std::vector<Key> keys;         // typed on the way to the step
    std::string shown;             // text that shows the step; empty: the stand-in holds it
    std::string standIn;           // tool it replaces: "/sbin/mke2fs", "table-write" or none
    std::vector<std::string> seen, unseen; // in the transcript afterwards
    bool ended = false;                    // the flow has ended: Ctrl-C is to change nothing
};

void PrintTo(const Stage& stage, std::ostream* out) {
    *out << stage.name;
}

std::string stageName(const testing::TestParamInfo<Stage>& info) {
    return info.param.name;
}

const std::vector<Package> twoPackages = {{"alpha", ""}, {"beta", "alpha"}};

// The stand-in's copies into the boot-image root: in place of the tool, or for the partitioning
// tool only when it is to write a table (the listings still come from the real one).
std::vector<SandboxPath> standInCopies(const std::string& tool, ScratchFiles& scratch) {
    if (tool == "table-write") {
        std::string wrapper = scratch.text("sfdisk", "#!/bin/bash\nif [ \"$1\" = -q ]; then exec "
                                                     "/sbin/stall; fi\nexec /sbin/sfdisk.real "
                                                     "\"$@\"\n");
        chmod(wrapper.c_str(), 0755);
        return {{wrapper, "/sbin/sfdisk"},
                {SFDISK_TOOL, "/sbin/sfdisk.real"},
                {STALL_TOOL, "/sbin/stall"}};
    }
    if (!tool.empty())
        return {{STALL_TOOL, tool}};
    return {};
}

class Interrupt : public testing::TestWithParam<Stage> {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    // Goes to the step, presses Ctrl-C there and sees the run to its end.
    void interrupt(Sandbox& sandbox) {
        const Stage& stage = GetParam();
        for (const Key& key : stage.keys) {
            ASSERT_TRUE(sandbox.waitFor(key.expect, 120)) << key.expect << sandbox.transcript();
            usleep(200000);
            sandbox.send(key.send);
        }
        if (!stage.shown.empty()) {
            ASSERT_TRUE(sandbox.waitFor(stage.shown, 180)) << stage.shown << sandbox.transcript();
        } else {
            auto there = [&] { return held ? held() : standInRuns(sandbox); };
            for (int tick = 0; tick < 1800 && !there() && sandbox.running(); ++tick)
                usleep(100000);
            ASSERT_TRUE(there()) << sandbox.transcript();
        }
        usleep(300000);
        sandbox.send("\x03");
        if (stage.ended) {
            usleep(1500000);
            EXPECT_TRUE(sandbox.running()) << "waits for ENTER";
            EXPECT_FALSE(contains(sandbox.transcript(), "Installation aborted"))
                << sandbox.transcript();
        } else {
            ASSERT_TRUE(sandbox.waitFor(abortDialogue, 30)) << sandbox.transcript();
            std::string mounts;
            for (int tick = 0; tick < 100; ++tick) {
                mounts = sandbox.mountPoints();
                if (!contains(mounts, "/flash") && !contains(mounts, "/floppy"))
                    break;
                usleep(100000);
            }
            EXPECT_FALSE(contains(mounts, "/flash")) << mounts;
            EXPECT_FALSE(contains(mounts, "/floppy")) << mounts;
            // Pressed again while the dialogue waits: nothing more happens.
            sandbox.send("\x03");
            usleep(1000000);
            EXPECT_TRUE(sandbox.running()) << "waits for ENTER";
        }
        sandbox.send("\r");
        ASSERT_TRUE(sandbox.wait(60)) << sandbox.transcript();
        EXPECT_EQ(sandbox.exitCode(), 0) << sandbox.endDescription();
        std::string text = sandbox.transcript();
        // The abort restarts without a word; the end of a flow says it restarts.
        EXPECT_EQ(contains(text, "\nRebooting...\n"), stage.ended) << text;
        EXPECT_EQ(text.find("Installation aborted"), text.rfind("Installation aborted")) << text;
        // Nothing after the dialogue but the cursor shown again: the flow did not go on.
        const std::string last = std::string(abortDialogue) + "\x1b[?25h";
        if (!stage.ended) {
            EXPECT_EQ(text.substr(text.size() - std::min(text.size(), last.size())), last) << text;
        }
        for (const std::string& part : stage.seen)
            EXPECT_TRUE(contains(text, part)) << part << " in:\n" << text;
        for (const std::string& part : stage.unseen)
            EXPECT_FALSE(contains(text, part)) << part << " in:\n" << text;
    }

    ScratchFiles scratch{"interrupt"};
    ScratchFolder folder{"interrupt-media"};
    std::function<bool()> held; // the step is reached, where no stand-in holds it
};

// ---- the hard-disk installation, its medium (an ext2 file system here) on the target

class HardDiskInterrupt : public Interrupt {
protected:
    void run() {
        const Stage& stage = GetParam();
        std::string dir = folder / "medium";
        std::filesystem::create_directories(dir);
        for (const Package& package : stage.packages)
            std::filesystem::copy_file(packageFile(package), dir + "/" + package.name + ".rpx");
        std::string mbr(512, 'M');
        mbr[510] = char(0x55);
        mbr[511] = char(0xaa);
        std::ofstream(dir + "/mbr", std::ios::binary) << mbr;
        std::ofstream(dir + "/autorun.scr") << "hostname edge-1\n";
        if (stage.name == "Menu")
            std::ofstream(dir + "/CHOOSE");
        std::string image = scratch.image("sda.img", 100 * cylinderBytes + 63 * 256);
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + image + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;

        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {DISK_SCENARIO};
        options.args = {DISK_SCENARIO};
        if (stage.name == "MediumSearch")
            options.args.push_back("late:/dev/sda:60");
        options.args.push_back("interrupts");
        options.args.push_back("hdd-install");
        options.disks = {{"sda", image}};
        options.copies = standInCopies(stage.standIn, scratch);
        options.copies.push_back(
            {scratch.text("geometry", "/dev/sda 16 63\n"), "/etc/sfdisk.geometry"});
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        interrupt(sandbox);
        EXPECT_FALSE(contains(sandbox.transcript(), "hardDiskInstall="))
            << "the flow went on: " << sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    }
};

TEST_P(HardDiskInterrupt, AbortsUnmountsAndEndsAfterEnter) {
    run();
}

const Package hold{"hold", "", Holds::install};

INSTANTIATE_TEST_SUITE_P(
    Steps, HardDiskInterrupt,
    testing::Values(
        Stage{"MediumSearch", twoPackages, {}, "Looking for harddrives...", "", {}, {"Reading: "}},
        Stage{"Menu", twoPackages, {}, menuShown, "", {}, {"Reading: "}},
        Stage{"Partitioning",
              twoPackages,
              {},
              "",
              "table-write",
              {"Reading: beta-1.0"},
              {"installing"}},
        Stage{"Formatting", twoPackages, {}, "", "/sbin/mke2fs", {}, {"installing"}},
        Stage{"FirstPackage",
              {{"hold", "", Holds::install}, {"alpha", "hold"}, {"beta", "alpha"}},
              {},
              "",
              "",
              {"installing hold-1.0"},
              {"installed hold-1.0", "installed alpha-1.0"}},
        Stage{"MiddlePackage",
              {{"alpha", ""}, {"hold", "alpha", Holds::install}, {"beta", "hold"}},
              {},
              "",
              "",
              {"installed alpha-1.0\n"},
              {"installed hold-1.0", "installed beta-1.0"}},
        Stage{"LastPackage",
              {{"alpha", ""}, {"beta", "alpha"}, {"hold", "beta", Holds::install}},
              {},
              "",
              "",
              {"installed alpha-1.0\n", "installed beta-1.0\n"},
              {"installed hold-1.0", "Software installed."}},
        Stage{"PostInstall",
              {{"alpha", ""}, {"post", "alpha", Holds::finish}},
              {},
              "",
              "",
              {"installed post-1.0\n"},
              {"Software installed."}},
        // The flow has not returned yet during its last pause: the abort still applies.
        Stage{"AfterTheLastMessage", twoPackages, {}, "\nSoftware installed.\n", "", {}, {}}),
    stageName);

// ---- the CD-ROM installation, ending the way start-up ends it

class CdromInterrupt : public Interrupt {
protected:
    void run() {
        const Stage& stage = GetParam();
        std::string dir = folder / "disc";
        std::filesystem::create_directories(dir);
        for (const Package& package : stage.packages)
            std::filesystem::copy_file(packageFile(package), dir + "/" + package.name + ".rpx");
        std::string disc = scratch.add("sr0.img");
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + disc + " 8M >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;

        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {CDROM_SCENARIO};
        options.args = {CDROM_SCENARIO, "as-startup"};
        if (stage.name == "DiskSearch")
            options.args.push_back("late:sda:60");
        if (stage.name == "DiscSearch")
            options.args.push_back("late:sr0:60");
        options.disks = {{"sda", scratch.image("sda.img", 60 * cylinderBytes)}, {"sr0", disc}};
        options.copies = standInCopies(stage.standIn, scratch);
        options.copies.push_back(
            {scratch.text("geometry", "/dev/sda 16 63\n"), "/etc/sfdisk.geometry"});
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        interrupt(sandbox);
        EXPECT_EQ(contains(sandbox.transcript(), "cdromInstall="), stage.ended)
            << sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    }
};

TEST_P(CdromInterrupt, AbortsUnmountsAndEndsAfterEnterUnlessTheFlowHasEnded) {
    run();
}

const std::vector<Key> toTheDisk = {
    {menuShown, "ai"}, {keepQuestion, "n"}, {continueQuestion, "y"}};

INSTANTIATE_TEST_SUITE_P(
    Steps, CdromInterrupt,
    testing::Values(
        Stage{"DiskSearch", twoPackages, {}, "Looking for harddrives...", "", {}, {menuShown}},
        Stage{"DiscSearch", twoPackages, {}, "\nFound harddrive as ", "", {}, {menuShown}},
        Stage{"Menu", twoPackages, {}, menuShown, "", {}, {keepQuestion}},
        Stage{"KeepQuestion",
              twoPackages,
              {{menuShown, "ai"}},
              keepQuestion,
              "",
              {},
              {continueQuestion}},
        Stage{"ContinueQuestion",
              twoPackages,
              {{menuShown, "ai"}, {keepQuestion, "n"}},
              continueQuestion,
              "",
              {},
              {"installing"}},
        Stage{"Partitioning", twoPackages, toTheDisk, "", "table-write", {}, {"installing"}},
        Stage{"Formatting", twoPackages, toTheDisk, "", "/sbin/mke2fs", {}, {"installing"}},
        Stage{"Package",
              {{"alpha", ""}, {"hold", "alpha", Holds::install}, {"beta", "hold"}},
              toTheDisk,
              "",
              "",
              {"installed alpha-1.0\n"},
              {"installed hold-1.0", "installed beta-1.0"}},
        Stage{"PostInstall",
              {{"alpha", ""}, {"post", "alpha", Holds::finish}},
              toTheDisk,
              "",
              "",
              {"installed post-1.0\n"},
              {"Software installed."}},
        Stage{"WaitingForEnterAfterSuccess",
              twoPackages,
              toTheDisk,
              "Software installed.\ncdromInstall=true\nPress ENTER to reboot\n",
              "",
              {},
              {},
              true}),
    stageName);

// ---- the network installation: the boot image's installer and the test peer

class NetworkInterrupt : public Interrupt {
protected:
    void SetUp() override {
        if (!canMakeNetNamespaces())
            GTEST_SKIP() << "needs root and ip";
        Interrupt::SetUp();
        ASSERT_TRUE(leaveHostNetwork());
        installerSide = std::make_unique<NetNamespace>("i");
        serverSide = std::make_unique<NetNamespace>("s");
        ASSERT_TRUE(installerSide->valid() && serverSide->valid());
        ASSERT_TRUE(addVethPair(*installerSide, vethName("i"), *serverSide, vethName("s")));
    }
    void TearDown() override { peer.reset(); }

    void run() {
        const Stage& stage = GetParam();
        PeerScript script;
        script.driver.data = fileContents(packageFile({"drivers", ""}));
        for (const Package& package : stage.packages)
            script.files.push_back(
                {package.name + ".rpx", fileContents(packageFile(package)), {}, {}, {}});
        script.offerDrivers = stage.name != "WaitingForDrivers";
        script.answerFarewell = false;
        if (stage.name == "WaitingForTheServer")
            script.tamper = [](PeerReply& reply) { reply.drop = reply.request == "DSCV"; };
        if (stage.name == "Script") {
            // Silent after the script's first block: it is being written, its file open.
            script.files.push_back({"setup.scr", std::string(300, 's'), {}, {}, {100, 100, 100}});
            auto sent = std::make_shared<std::atomic<int>>(0);
            script.tamper = [sent](PeerReply& reply) {
                if (*sent > 0 && ++*sent > 2)
                    reply.drop = true;
                if (reply.packet.payloadBeginsWith("FILE\nsetup.scr"))
                    *sent = 1;
            };
            held = [sent] { return *sent > 2; };
        }
        {
            EnterNamespace inside(*serverSide);
            ASSERT_TRUE(inside.entered());
            peer = std::make_unique<TestPeer>(vethName("s"), std::move(script));
            ASSERT_TRUE(peer->valid());
            peer->start();
        }
        SandboxOptions options;
        options.type = "net\n";
        options.networkNamespace = installerSide->path();
        if (stage.name != "DiskSearch")
            options.disks = {{"hda", scratch.image("hda.img", 64 << 20)}};
        options.copies = standInCopies(stage.standIn, scratch);
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        interrupt(sandbox);
        if (stage.ended) {
            EXPECT_GE(peer->count("WTRM"), 2u) << "the farewell went on";
        }
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    }

    std::unique_ptr<NetNamespace> installerSide, serverSide;
    std::unique_ptr<TestPeer> peer;
};

TEST_P(NetworkInterrupt, AbortsUnmountsAndEndsAfterEnterUnlessTheFlowHasEnded) {
    run();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NetworkInterrupt,
    testing::Values(
        Stage{"WaitingForDrivers",
              twoPackages,
              {},
              "\nWaiting for drivers...\n",
              "",
              {},
              {"Retrieving drivers"}},
        Stage{"DiskSearch", twoPackages, {}, "Looking for harddrives...", "", {}, {"disk label"}},
        Stage{"WaitingForTheServer",
              twoPackages,
              {},
              "\nWaiting for installation server...\n",
              "",
              {},
              {"Found server"}},
        Stage{"Partitioning", twoPackages, {}, "", "table-write", {"Found server"}, {"installing"}},
        Stage{"Formatting", twoPackages, {}, "", "/sbin/mke2fs", {}, {"installing"}},
        Stage{"FirstPackage",
              {{"hold", "", Holds::install}, {"alpha", "hold"}},
              {},
              "",
              "",
              {"installing hold-1.0"},
              {"installed hold-1.0", "installed alpha-1.0"}},
        Stage{"MiddlePackage",
              {{"alpha", ""}, {"hold", "alpha", Holds::install}, {"beta", "hold"}},
              {},
              "",
              "",
              {"installed alpha-1.0\n"},
              {"installed hold-1.0", "installed beta-1.0"}},
        Stage{"LastPackage",
              {{"alpha", ""}, {"beta", "alpha"}, {"hold", "beta", Holds::install}},
              {},
              "",
              "",
              {"installed beta-1.0\n"},
              {"installed hold-1.0", "Software installed."}},
        Stage{"Script",
              twoPackages,
              {},
              "",
              "",
              {"installed beta-1.0\n"},
              {"bad network connection"}},
        Stage{"PostInstall",
              {{"alpha", ""}, {"post", "alpha", Holds::finish}},
              {},
              "",
              "",
              {"installed post-1.0\n"},
              {"Software installed."}},
        Stage{"Farewell",
              twoPackages,
              {},
              "\nSoftware installed.\nPress ENTER to reboot\n",
              "",
              {},
              {},
              true}),
    stageName);

} // namespace
