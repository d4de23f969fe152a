// The installer binary of the boot image, run as the first process in the sandbox with a real
// pseudo-terminal as its console: start-up, mode dispatch and restart as a user sees them (Ctrl-C
// at each step of the flows is interrupt_sandbox_test's).
#include "testbed/loop_disk.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

const std::string fatalDialogue = "FATAL ERROR: internal error\nPress ENTER to reboot\n";
// After ENTER (echoed by the terminal): cursor shown, empty line, the restart that the sandbox
// refuses, and main returns 0.
const std::string restartDialogue = "\n\x1b[?25h\nRebooting...\n";

SandboxOptions withType(const char* type) {
    SandboxOptions options;
    if (type)
        options.type = type;
    return options;
}

// Runs the installer to `dialogue`, lets `there` act on it, sees that it still waits for
// ENTER, presses it and returns the transcript of the run, which must end with status 0.
std::string toTheRestart(const SandboxOptions& options,
                         const std::function<void(Sandbox&)>& there = {},
                         const std::string& dialogue = fatalDialogue, double seconds = 40) {
    Sandbox sandbox(options);
    if (!sandbox.start()) {
        ADD_FAILURE() << sandbox.error();
        return "";
    }
    EXPECT_TRUE(sandbox.waitFor(dialogue, seconds)) << sandbox.transcript();
    if (there)
        there(sandbox);
    usleep(300000);
    EXPECT_TRUE(sandbox.running()) << "must wait for ENTER";
    sandbox.send("\r");
    EXPECT_TRUE(sandbox.wait(20)) << sandbox.transcript();
    EXPECT_EQ(sandbox.exitCode(), 0) << sandbox.endDescription();
    std::string text = sandbox.transcript();
    EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    return text;
}

} // namespace

TEST(StartupInSandbox, UnknownTypeEndsInFatalErrorEnterAndRestartLeavingNothingBehind) {
    ScratchFiles scratch("startup-disk");
    std::string image = scratch.image("hda.img", 16 << 20);
    SandboxOptions options = withType("floppy\n");
    options.disks = {{"hda", image}};
    std::vector<int> loops;
    std::string root;
    EXPECT_EQ(toTheRestart(options,
                           [&](Sandbox& sandbox) {
                               loops = sandbox.loopNumbers();
                               root = sandbox.rootDirectory();
                           }),
              fatalDialogue + restartDialogue);
    for (int n : loops)
        EXPECT_FALSE(loopDeviceBackedBy(n, image)) << "loop" << n;
    EXPECT_NE(access(root.c_str(), F_OK), 0) << root;
}

// The same dialogue word for word without a type file, for a word with a trailing blank or in
// capitals, on the serial line when there is no virtual console, and with Ctrl-C pressed once
// the flow has ended (only echoed).
TEST(StartupInSandbox, MissingOrMistypedTypeIsAnInternalErrorOnEitherConsoleAndCtrlCAfterIt) {
    SandboxOptions serial = withType("floppy\n");
    serial.serialConsole = true;
    auto ctrlC = [](Sandbox& sandbox) {
        sandbox.send("\x03");
        usleep(500000);
    };
    const std::string plain = fatalDialogue + restartDialogue;
    EXPECT_EQ(toTheRestart(withType(nullptr)), plain) << "no /TYPE";
    EXPECT_EQ(toTheRestart(withType("cdrom \n")), plain);
    EXPECT_EQ(toTheRestart(withType("NET\n")), plain);
    EXPECT_EQ(toTheRestart(withType("")), plain);
    EXPECT_EQ(toTheRestart(serial), plain) << "serial line";
    EXPECT_EQ(toTheRestart(withType("floppy\n"), ctrlC), fatalDialogue + "^C" + restartDialogue);
}

TEST(StartupInSandbox, NetTypeStartsTheRemoteInstallation) {
    Sandbox sandbox(withType("net\n"));
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("Welcome to Kestrova Router Software remote installation\n"))
        << sandbox.transcript();
    sandbox.signal(SIGKILL);
    EXPECT_FALSE(contains(sandbox.transcript(), "internal error"));
}

// "-hdd-install" takes the hard-disk flow whatever the type file says. Its twenty passes
// without a medium are counted on the virtual clock (MediumSearch in flows/); how start-up
// waits for ENTER after a flow's search that found nothing is the CD-ROM case below.
TEST(StartupInSandbox, HardDiskArgumentWinsOverTheTypeFile) {
    ScratchFiles scratch("hdd-start");
    SandboxOptions options = withType("net\n");
    options.args = {"-hdd-install"};
    options.disks = {{"sda", scratch.image("sda.img", 100 * 16 * 63 * 512)}};
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("Welcome to Kestrova Router Software hard disk installation\n"))
        << sandbox.transcript();
    ASSERT_TRUE(sandbox.waitFor("\nLooking for harddrives...")) << sandbox.transcript();
    sandbox.signal(SIGKILL);
    expectParts(sandbox.transcript(), {}, {"remote installation", "internal error"});
}

TEST(StartupInSandbox, LicenseMarkerLandsOnFlashWhichIsUnmountedBeforeTheRestart) {
    ScratchFolder scratch("startup");
    std::string flash = scratch.path;
    SandboxOptions options = withType("floppy\n");
    options.binds = {{flash, "/flash"}};
    toTheRestart(options, [](Sandbox& sandbox) {
        expectParts(sandbox.mountPoints(), {"/proc\n", "/sys\n"}, {"/flash\n"});
    });
    struct stat st {};
    ASSERT_EQ(stat((flash + "/SHOW_LICENSE").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
}

TEST(StartupInSandbox, CdromWithoutADiskSearchesForTwentySecondsThenWaitsForEnter) {
    std::string text = toTheRestart(withType("cdrom\n"), {},
                                    "FATAL ERROR: no harddrives found\nPress ENTER to reboot\n");
    size_t dots = text.find("harddrives...");
    ASSERT_NE(dots, std::string::npos) << text;
    size_t count = text.find_first_not_of('.', dots + 13) - (dots + 13);
    EXPECT_GE(count, 17u) << text;
    EXPECT_LE(count, 23u) << text;
    EXPECT_TRUE(contains(text, "Rebooting...\n")) << text;
}

TEST(StartupInSandbox, AsInitTheFirstProcessForksAWorkerAndOtherwiseItDoesNot) {
    for (const char* argv0 : {"/sbin/init", "/sbin/installer"}) {
        SandboxOptions options = withType("floppy\n");
        options.argv0 = argv0;
        toTheRestart(options, [&](Sandbox& sandbox) {
            EXPECT_EQ(!sandbox.childrenOfProcessOne().empty(), std::string(argv0) == "/sbin/init")
                << argv0;
        });
    }
}
