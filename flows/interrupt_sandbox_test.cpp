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
#include "testbed/support/package_drafts.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

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
    uint64_t zeros = 0; // bytes of a second file, which make its installation long
};

// The signed file of a package of version 1.0.
std::string packageFile(const Package& package) {
    testpkg::Draft draft;
    draft.name = package.name;
    if (!package.depends.empty())
        draft.depends = {{package.depends}};
    draft.entries = {testpkg::directory("etc"), testpkg::directory("bin"),
                     testpkg::regular("etc/" + package.name + ".conf", package.name + "\n")};
    if (package.holds != Holds::nothing)
        draft.entries.push_back(
            testpkg::regular(package.holds == Holds::install ? "bin/bash" : "bin/tavo",
                             fileContents(STALL_TOOL), 0755));
    if (package.holds == Holds::install)
        draft.oninstall = "true\n";
    if (package.zeros)
        draft.entries.push_back(testpkg::regular("etc/zeros", std::string(package.zeros, '\0')));
    return draft.signedFile();
}

// The stand-in runs now among the processes of the run.
bool standInRuns(const Sandbox& sandbox) {
    std::map<pid_t, pid_t> parents;
    std::vector<pid_t> standIns;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        pid_t pid = std::atoi(entry.path().filename().c_str());
        std::string stat = pid > 0 ? fileContents(entry.path() / "stat") : "";
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::sscanf(stat.c_str() + close + 1, " %*c %d", &parents[pid]);
        if (contains(stat, " (stalling) "))
            standIns.push_back(pid);
    }
    for (pid_t pid : standIns)
        for (pid_t up = pid; up > 1 && parents.count(up); up = parents[up])
            if (up == sandbox.hostPid())
                return true;
    return false;
}

using Key = std::pair<std::string, std::string>; // text to wait for, keys typed then

const std::vector<Package> twoPackages = {{"alpha", ""}, {"beta", "alpha"}};

// One step of a flow and how the run is held there.
struct Stage {
    std::string name = "";
    std::vector<Package> packages = twoPackages; // on the medium, or served in this order
    std::vector<Key> keys = {};                  // typed on the way to the step
    std::string shown = "";   // text that shows the step; empty: the stand-in holds it
    std::string standIn = ""; // tool it replaces: "/sbin/mke2fs", "table-write" or none
    std::vector<std::string> seen = {}, unseen = {}; // in the transcript afterwards
    bool ended = false; // the flow has ended: Ctrl-C is to change nothing
};

void PrintTo(const Stage& stage, std::ostream* out) {
    *out << stage.name;
}

std::string stageName(const testing::TestParamInfo<Stage>& info) {
    return info.param.name;
}

// The steps every flow takes once it is on its way to the disk (`keys` typed to get there):
// the partitioning tool held as it writes the table (`seenBefore` already shown), the file
// system creator held, a package's installation held by its script's shell at the start, in
// the middle and at the end of the list, and the installed system's finishing program held.
std::vector<Stage> diskStages(std::vector<Stage> flowStages, const std::vector<Key>& keys,
                              const std::vector<std::string>& seenBefore) {
    std::vector<Stage> shared = {
        {.name = "Partitioning",
         .standIn = "table-write",
         .seen = seenBefore,
         .unseen = {"installing"}},
        {.name = "Formatting", .standIn = "/sbin/mke2fs", .unseen = {"installing"}},
        {.name = "FirstPackage",
         .packages = {{"hold", "", Holds::install}, {"alpha", "hold"}, {"beta", "alpha"}},
         .seen = {"installing hold-1.0"},
         .unseen = {"installed hold-1.0", "installed alpha-1.0"}},
        {.name = "MiddlePackage",
         .packages = {{"alpha", ""}, {"hold", "alpha", Holds::install}, {"beta", "hold"}},
         .seen = {"installed alpha-1.0\n"},
         .unseen = {"installed hold-1.0", "installed beta-1.0"}},
        {.name = "LastPackage",
         .packages = {{"alpha", ""}, {"beta", "alpha"}, {"hold", "beta", Holds::install}},
         .seen = {"installed alpha-1.0\n", "installed beta-1.0\n"},
         .unseen = {"installed hold-1.0", "Software installed."}},
        {.name = "PostInstall",
         .packages = {{"alpha", ""}, {"post", "alpha", Holds::finish}},
         .seen = {"installed post-1.0\n"},
         .unseen = {"Software installed."}}};
    for (Stage& stage : shared)
        stage.keys = keys;
    flowStages.insert(flowStages.end(), shared.begin(), shared.end());
    return flowStages;
}

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
        for (const auto& [expect, keys] : stage.keys) {
            ASSERT_TRUE(sandbox.waitFor(expect, 120)) << expect << sandbox.transcript();
            usleep(200000);
            sandbox.send(keys);
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
            usleep(500000);
            for (int tick = 0; tick < 50 && goesOn && !goesOn(); ++tick)
                usleep(100000);
            EXPECT_TRUE(sandbox.running()) << "waits for ENTER";
            EXPECT_FALSE(contains(sandbox.transcript(), "Installation aborted"))
                << sandbox.transcript();
        } else {
            ASSERT_TRUE(sandbox.waitFor(abortDialogue, 30)) << sandbox.transcript();
            std::string mounts;
            for (int tick = 0; tick < 100 && contains(mounts = sandbox.mountPoints(), "/f"); ++tick)
                usleep(100000);
            expectParts(mounts, {}, {"/flash", "/floppy"});
            // Pressed again while the dialogue waits: nothing more happens.
            sandbox.send("\x03");
            usleep(300000);
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
        expectParts(text, stage.seen, stage.unseen);
    }

    // The disk-based flows: a scenario runner's flow with the step's packages on an ext2
    // medium of `bytes` (or a given size), the medium at /dev/`medium` besides the disks; the
    // flow's result line (`marker`) shows only when the flow has ended.
    void runScenario(const std::string& scenario, std::vector<std::string> args,
                     const std::string& medium, uint64_t bytes, std::vector<SandboxDisk> disks,
                     const std::string& marker,
                     const std::map<std::string, std::string>& extra = {}) {
        const Stage& stage = GetParam();
        std::string dir = folder / "medium";
        std::filesystem::create_directories(dir);
        for (const Package& package : stage.packages)
            writeFile(dir + "/" + package.name + ".rpx", packageFile(package));
        for (const auto& [name, contents] : extra)
            writeFile(dir + "/" + name, contents);
        std::string image = scratch.image(medium + ".img", bytes);
        std::string command = "mke2fs -q -F -t ext2 -d " + dir + " " + image + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;

        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {scenario};
        options.args = args;
        options.args.insert(options.args.begin(), scenario);
        options.disks = disks;
        options.disks.push_back({medium, image});
        options.copies = standInCopies(stage.standIn, scratch);
        options.copies.push_back(
            {scratch.text("geometry", "/dev/sda 16 63\n"), "/etc/sfdisk.geometry"});
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        interrupt(sandbox);
        EXPECT_EQ(contains(sandbox.transcript(), marker), stage.ended) << sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    }

    ScratchFiles scratch{"interrupt"};
    ScratchFolder folder{"interrupt-media"};
    std::function<bool()> held;   // the step is reached, where no stand-in holds it
    std::function<bool()> goesOn; // the ended flow is seen to go on after Ctrl-C
};

// ---- the hard-disk installation, its medium (an ext2 file system here) on the target

class HardDiskInterrupt : public Interrupt {};

TEST_P(HardDiskInterrupt, AbortsUnmountsAndEndsAfterEnter) {
    const Stage& stage = GetParam();
    std::map<std::string, std::string> extra = {{"mbr", std::string(510, 'M') + "\x55\xaa"},
                                                {"autorun.scr", "hostname edge-1\n"}};
    if (stage.name == "Menu")
        extra["CHOOSE"] = "";
    std::vector<std::string> args = {"interrupts", "hdd-install"};
    if (stage.name == "MediumSearch")
        args.insert(args.begin(), "late:/dev/sda:60");
    uint64_t cylinders = stage.name == "PackageFiles" ? 600 : 100; // 300 MB for 150 MB
    runScenario(DISK_SCENARIO, args, "sda", cylinders * cylinderBytes + 63 * 256, {},
                "hardDiskInstall=", extra);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HardDiskInterrupt,
    testing::ValuesIn(diskStages(
        {{.name = "MediumSearch", .shown = "Looking for harddrives...", .unseen = {"Reading: "}},
         {.name = "Menu", .shown = menuShown, .unseen = {"Reading: "}},
         // The larger package goes first; its progress bar shows its files are being written.
         {.name = "PackageFiles",
          .packages = {{"alpha", ""}, {"bulk", "", Holds::nothing, 150 << 20}},
          .shown = "installing bulk-1.0 [",
          .unseen = {"installed bulk-1.0", "installing alpha-1.0", "Software installed."}},
         // The flow has not returned yet during its last pause: the abort still applies.
         {.name = "AfterTheLastMessage", .shown = "\nSoftware installed.\n"}},
        {}, {"Reading: beta-1.0"})),
    stageName);

// ---- the CD-ROM installation, ending the way start-up ends it

class CdromInterrupt : public Interrupt {};

TEST_P(CdromInterrupt, AbortsUnmountsAndEndsAfterEnterUnlessTheFlowHasEnded) {
    const Stage& stage = GetParam();
    std::vector<std::string> args = {"as-startup"};
    if (stage.name == "DiskSearch" || stage.name == "DiscSearch")
        args.push_back(stage.name == "DiskSearch" ? "late:sda:60" : "late:sr0:60");
    runScenario(CDROM_SCENARIO, args, "sr0", 8 << 20,
                {{"sda", scratch.image("sda.img", 60 * cylinderBytes)}}, "cdromInstall=");
}

// The menu's status line shows what the package under the cursor depends on.
const std::vector<Key> toTheDisk = {
    {"(depends on ", "ai"}, {keepQuestion, "n"}, {continueQuestion, "y"}};

INSTANTIATE_TEST_SUITE_P(
    Steps, CdromInterrupt,
    testing::ValuesIn(diskStages(
        {{.name = "DiskSearch", .shown = "Looking for harddrives...", .unseen = {menuShown}},
         {.name = "DiscSearch", .shown = "\nFound harddrive as ", .unseen = {menuShown}},
         {.name = "Menu", .shown = menuShown, .unseen = {keepQuestion}},
         {.name = "KeepQuestion",
          .keys = {toTheDisk[0]},
          .shown = keepQuestion,
          .unseen = {continueQuestion}},
         {.name = "ContinueQuestion",
          .keys = {toTheDisk[0], toTheDisk[1]},
          .shown = continueQuestion,
          .unseen = {"installing"}},
         {.name = "WaitingForEnterAfterSuccess",
          .keys = toTheDisk,
          .shown = "Software installed.\ncdromInstall=true\nPress ENTER to reboot\n",
          .ended = true}},
        toTheDisk, {})),
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

    std::unique_ptr<NetNamespace> installerSide, serverSide;
    std::unique_ptr<TestPeer> peer;
};

TEST_P(NetworkInterrupt, AbortsUnmountsAndEndsAfterEnterUnlessTheFlowHasEnded) {
    const Stage& stage = GetParam();
    PeerScript script;
    script.driver.data = packageFile({"drivers", ""});
    for (const Package& package : stage.packages)
        script.files.push_back({package.name + ".rpx", packageFile(package), {}, {}, {}});
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
    // The farewell is said again until the server answers it, which this one does not.
    goesOn = [this] { return peer->count("WTRM") >= 2; };
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    interrupt(sandbox);
    if (stage.ended) {
        EXPECT_GE(peer->count("WTRM"), 2u) << "the farewell went on";
    }
    EXPECT_TRUE(sandbox.stop()) << sandbox.error();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NetworkInterrupt,
    testing::ValuesIn(diskStages(
        {{.name = "WaitingForDrivers",
          .shown = "\nWaiting for drivers...\n",
          .unseen = {"Retrieving drivers"}},
         {.name = "DiskSearch", .shown = "Looking for harddrives...", .unseen = {"disk label"}},
         {.name = "WaitingForTheServer",
          .shown = "\nWaiting for installation server...\n",
          .unseen = {"Found server"}},
         {.name = "Script", .seen = {"installed beta-1.0\n"}, .unseen = {"bad network connection"}},
         {.name = "Farewell",
          .shown = "\nSoftware installed.\nPress ENTER to reboot\n",
          .ended = true}},
        {}, {"Found server"})),
    stageName);

} // namespace
