// The installer binary of the boot image, run as the first process in the sandbox with a real
// pseudo-terminal as its console: start-up, mode dispatch, abort and restart as a user sees them.
#include "testbed/loop_disk.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const fatalDialogue = "FATAL ERROR: internal error\nPress ENTER to reboot\n";
// After ENTER (echoed by the terminal): cursor shown, empty line, the restart that the sandbox
// refuses, and main returns 0.
const char* const restartDialogue = "\n\x1b[?25h\nRebooting...\n";

SandboxOptions withType(const char* type) {
    SandboxOptions options;
    if (type)
        options.type = type;
    return options;
}

class ScratchDirs : public testing::Test {
protected:
    std::string make(const std::string& name) {
        std::string path = scratch / name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
        return path;
    }
    ScratchFolder scratch{"startup"};
};

} // namespace

TEST(StartupInSandbox, UnknownTypeEndsInFatalErrorEnterAndRestartLeavingNothingBehind) {
    ScratchFiles scratch("startup-disk");
    std::string image = scratch.image("hda.img", 16 << 20);
    SandboxOptions options = withType("floppy\n");
    options.disks = {{"hda", image}};
    std::vector<int> loops;
    std::string root;
    {
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        loops = sandbox.loopNumbers();
        root = sandbox.rootDirectory();
        ASSERT_TRUE(sandbox.waitFor("Press ENTER to reboot\n")) << sandbox.transcript();
        usleep(300000);
        EXPECT_TRUE(sandbox.running()) << "must wait for ENTER";
        sandbox.send("\r");
        ASSERT_TRUE(sandbox.wait(20)) << sandbox.transcript();
        EXPECT_EQ(sandbox.transcript(), std::string(fatalDialogue) + restartDialogue);
        EXPECT_EQ(sandbox.exitCode(), 0) << sandbox.endDescription();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    }
    for (int n : loops)
        EXPECT_FALSE(loopDeviceBackedBy(n, image)) << "loop" << n;
    EXPECT_NE(access(root.c_str(), F_OK), 0) << root;
}

TEST(StartupInSandbox, MissingTypeFileOrAWordWithATrailingBlankIsAnInternalError) {
    for (const char* type : {static_cast<const char*>(nullptr), "cdrom \n", "NET\n", ""}) {
        Sandbox sandbox(withType(type));
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        EXPECT_TRUE(sandbox.waitFor(fatalDialogue))
            << (type ? type : "(no /TYPE)") << ": " << sandbox.transcript();
        sandbox.send("\r");
        EXPECT_TRUE(sandbox.wait(20));
    }
}

TEST(StartupInSandbox, HardDiskArgumentWinsOverTheTypeFile) {
    SandboxOptions options = withType("net\n");
    options.args = {"-hdd-install"};
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("Welcome to Kestrova Router Software hard disk installation\n"))
        << sandbox.transcript();
    sandbox.signal(SIGKILL);
    EXPECT_FALSE(contains(sandbox.transcript(), "remote installation"));
    EXPECT_FALSE(contains(sandbox.transcript(), "internal error"));
}

TEST(StartupInSandbox, NetTypeStartsTheRemoteInstallation) {
    Sandbox sandbox(withType("net\n"));
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("Welcome to Kestrova Router Software remote installation\n"))
        << sandbox.transcript();
    sandbox.signal(SIGKILL);
    EXPECT_FALSE(contains(sandbox.transcript(), "internal error"));
}

TEST(StartupInSandbox, WithoutAVirtualConsoleTheDialogueRunsOnTheSerialLine) {
    SandboxOptions options = withType("floppy\n");
    options.serialConsole = true;
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor(fatalDialogue)) << sandbox.transcript();
    sandbox.send("\r");
    ASSERT_TRUE(sandbox.wait(20));
    EXPECT_EQ(sandbox.transcript(), std::string(fatalDialogue) + restartDialogue);
    EXPECT_EQ(sandbox.exitCode(), 0);
}

TEST(StartupInSandbox, InterruptAfterTheFlowHasEndedIsIgnored) {
    Sandbox sandbox(withType("floppy\n"));
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor(fatalDialogue));
    sandbox.send("\x03");
    usleep(800000);
    EXPECT_TRUE(sandbox.running());
    sandbox.send("\r");
    ASSERT_TRUE(sandbox.wait(20));
    EXPECT_EQ(sandbox.transcript(), std::string(fatalDialogue) + "^C" + restartDialogue);
}

TEST_F(ScratchDirs, LicenseMarkerLandsOnFlashWhichIsUnmountedBeforeTheRestart) {
    std::string flash = make("flash");
    SandboxOptions options = withType("floppy\n");
    options.binds = {{flash, "/flash"}};
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor(fatalDialogue)) << sandbox.transcript();
    std::string mounts = sandbox.mountPoints();
    EXPECT_FALSE(contains(mounts, "/flash\n")) << mounts;
    EXPECT_TRUE(contains(mounts, "/proc\n")) << mounts;
    EXPECT_TRUE(contains(mounts, "/sys\n")) << mounts;
    sandbox.send("\r");
    ASSERT_TRUE(sandbox.wait(20));
    struct stat st {};
    ASSERT_EQ(stat((flash + "/SHOW_LICENSE").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(ScratchDirs, InterruptDuringTheDiskSearchUnmountsAbortsAndRestartsAfterEnter) {
    std::string flash = make("flash"), boot = make("boot"), floppy = make("floppy");
    SandboxOptions options = withType("cdrom\n");
    options.binds = {{flash, "/flash"}, {boot, "/flash/boot"}, {floppy, "/floppy"}};
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("Loading drivers\n\nLooking for harddrives..."))
        << sandbox.transcript();
    ASSERT_TRUE(sandbox.waitFor("..", 5)) << "a dot a second: " << sandbox.transcript();
    std::string mounts = sandbox.mountPoints();
    ASSERT_TRUE(contains(mounts, "/flash/boot\n")) << mounts;
    sandbox.send("\x03");
    ASSERT_TRUE(sandbox.waitFor("\n\nInstallation aborted\nPress ENTER to reboot\n", 5))
        << sandbox.transcript();
    // The handler unmounts right after its message.
    for (int i = 0; i < 40 && contains(sandbox.mountPoints(), "/fl"); ++i)
        usleep(50000);
    mounts = sandbox.mountPoints();
    EXPECT_FALSE(contains(mounts, "/flash")) << mounts;
    EXPECT_FALSE(contains(mounts, "/floppy")) << mounts;
    // The step was cut short: no more dots under the prompt.
    size_t shown = sandbox.transcript().size();
    usleep(2200000);
    EXPECT_EQ(sandbox.transcript().size(), shown) << sandbox.transcript();
    EXPECT_TRUE(sandbox.running());
    sandbox.send("\r");
    ASSERT_TRUE(sandbox.wait(20));
    std::string text = sandbox.transcript();
    EXPECT_FALSE(contains(text, "Rebooting...")) << text;
    EXPECT_TRUE(contains(text, "Press ENTER to reboot\n\x1b[?25h")) << text;
    EXPECT_EQ(sandbox.exitCode(), 0) << sandbox.endDescription();
}

TEST(StartupInSandbox, CdromWithoutADiskSearchesForTwentySecondsThenWaitsForEnter) {
    Sandbox sandbox(withType("cdrom\n"));
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("FATAL ERROR: no harddrives found\n", 40)) << sandbox.transcript();
    ASSERT_TRUE(sandbox.waitFor("Press ENTER to reboot\n"));
    std::string text = sandbox.transcript();
    size_t dots = text.find("harddrives...");
    ASSERT_NE(dots, std::string::npos);
    size_t count = text.find_first_not_of('.', dots + 13) - (dots + 13);
    EXPECT_GE(count, 17u) << text;
    EXPECT_LE(count, 23u) << text;
    sandbox.send("\r");
    ASSERT_TRUE(sandbox.wait(20));
    EXPECT_TRUE(contains(sandbox.transcript(), "Rebooting...\n"));
}

TEST(StartupInSandbox, AsInitTheFirstProcessForksAWorkerAndOtherwiseItDoesNot) {
    for (const char* argv0 : {"/sbin/init", "/sbin/installer"}) {
        SandboxOptions options = withType("floppy\n");
        options.argv0 = argv0;
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        ASSERT_TRUE(sandbox.waitFor(fatalDialogue));
        bool forked = !sandbox.childrenOfProcessOne().empty();
        EXPECT_EQ(forked, std::string(argv0) == "/sbin/init") << argv0;
        sandbox.send("\r");
        ASSERT_TRUE(sandbox.wait(20));
        EXPECT_EQ(sandbox.exitCode(), 0) << argv0 << ": " << sandbox.endDescription();
    }
}
