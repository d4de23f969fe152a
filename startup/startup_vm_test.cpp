// Start-up on a real kernel: the installer is the init of the media's boot image in a virtual
// machine, its dialogue on the serial console. The restart ends the machine, so every case also
// proves that the installer restarts rather than leaving the kernel without an init.
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/vm_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

class StartupVm : public testing::Test {
protected:
    void SetUp() override {
        std::string missing = vmMissing();
        if (!missing.empty())
            GTEST_SKIP() << missing;
    }

    // The media's boot image with /TYPE holding type; without a virtual console when
    // serialOnly (its /dev/tty0 then names a device no driver serves, as on a machine with no
    // VT).
    std::string image(const std::string& type, bool serialOnly = false) {
        std::string path = files.add("boot.img");
        EXPECT_TRUE(bootImageWith(path, [&](InitramfsWriter& overlay) {
            overlay.file("/TYPE", type);
            if (serialOnly)
                overlay.characterDevice("/dev/tty0", 240, 0);
        }));
        return path;
    }

    // The machine ends by itself through the kernel's restart, not a panic or the time limit.
    void expectRestart(VirtualMachine& machine, double seconds) {
        ASSERT_TRUE(machine.wait(seconds)) << machine.transcript();
        EXPECT_FALSE(machine.timedOut());
        EXPECT_FALSE(machine.panicked()) << machine.transcript();
        EXPECT_TRUE(contains(machine.transcript(), "reboot: Restarting system"))
            << machine.transcript();
    }

    ScratchFiles files{"startup-vm"};
};

TEST_F(StartupVm, UnknownTypeEndsInTheFatalErrorAndRestartsAfterEnterOnBothConsoles) {
    for (bool serialOnly : {false, true}) {
        SCOPED_TRACE(serialOnly ? "serial line only" : "with a virtual console");
        VirtualMachine machine(vmDirectStart(image("floppy\n", serialOnly), "quiet"));
        ASSERT_TRUE(machine.start()) << machine.error();
        ASSERT_TRUE(machine.waitFor("FATAL ERROR: internal error\nPress ENTER to reboot\n", 60))
            << machine.transcript() << machine.emulatorLog();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_TRUE(machine.running()) << "must wait for ENTER";
        EXPECT_FALSE(contains(machine.transcript(), "Rebooting..."));
        machine.send("x\r");
        ASSERT_TRUE(machine.waitFor("\x07", 10)) << "a key other than ENTER rings the bell";
        ASSERT_TRUE(machine.waitFor("\nRebooting...\n", 20)) << machine.transcript();
        expectRestart(machine, 30);
        // Nothing else reached the console: no kernel complaint about init.
        EXPECT_FALSE(contains(machine.transcript(), "Attempted to kill init"));
    }
}

// The kernel gives init /dev/console, which never becomes a controlling terminal by itself; the
// worker takes it, so that Ctrl-C on the serial line is the interrupt signal.
TEST_F(StartupVm, CtrlCOnTheSerialConsoleDuringTheDiskSearchAbortsAndRestartsAfterEnter) {
    for (bool serialOnly : {false, true}) {
        SCOPED_TRACE(serialOnly ? "serial line only" : "with a virtual console");
        VirtualMachine machine(vmDirectStart(image("cdrom\n", serialOnly), "quiet"));
        ASSERT_TRUE(machine.start()) << machine.error();
        ASSERT_TRUE(machine.waitFor("Looking for harddrives...", 90)) << machine.transcript();
        machine.send("\x03");
        ASSERT_TRUE(machine.waitFor("\n\nInstallation aborted\nPress ENTER to reboot\n", 10))
            << machine.transcript();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_TRUE(machine.running()) << "must wait for ENTER";
        machine.send("\r");
        expectRestart(machine, 20);
        std::string text = machine.transcript();
        EXPECT_FALSE(contains(text, "Rebooting...")) << text;
        EXPECT_FALSE(contains(text, "no harddrives found")) << text;
        EXPECT_EQ(text.find("Installation aborted"), text.rfind("Installation aborted"))
            << "one abort dialogue only:\n"
            << text;
    }
}

// Ctrl-Alt-Delete on the PC keyboard: the kernel would restart at once; init has it turned
// into a signal, which reaches the worker as the abort.
TEST_F(StartupVm, CtrlAltDeleteOnTheKeyboardDuringTheDiskSearchAbortsInsteadOfRestarting) {
    VirtualMachine machine(vmDirectStart(image("cdrom\n"), "quiet"));
    ASSERT_TRUE(machine.start()) << machine.error();
    ASSERT_TRUE(machine.waitFor("Looking for harddrives...", 90)) << machine.transcript();
    ASSERT_TRUE(machine.sendKey("ctrl-alt-delete"));
    ASSERT_TRUE(machine.waitFor("\n\nInstallation aborted\nPress ENTER to reboot\n", 10))
        << machine.transcript();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(machine.running()) << "Ctrl-Alt-Delete restarted the machine at once";
    machine.send("\r");
    expectRestart(machine, 20);
}

// With the dialogue on the VT, Ctrl-C typed on the keyboard aborts as well. The VT's screen is
// not read here: the abort shows as a restart at the first ENTER, long before the disk search
// would have given up.
TEST_F(StartupVm, CtrlCOnTheVirtualConsoleKeyboardAbortsTheDiskSearch) {
    VmOptions options = vmDirectStart(image("cdrom\n"));
    options.vtConsole = true;
    VirtualMachine machine(options);
    ASSERT_TRUE(machine.start()) << machine.error();
    // The kernel's own lines still reach the serial line, the installer's do not: the ATA
    // driver announcing its SCSI host shows that the installer is loading the storage list.
    ASSERT_TRUE(machine.waitFor("scsi host", 90)) << machine.transcript();
    ASSERT_TRUE(machine.sendKey("ctrl-c"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(machine.sendKey("ret"));
    auto pressed = std::chrono::steady_clock::now();
    expectRestart(machine, 15);
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(10));
}

} // namespace
