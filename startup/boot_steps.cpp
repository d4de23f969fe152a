#include "startup/boot_steps.h"

#include "package/owned_handles.h"
#include "package/record/record_root.h"
#include "startup/console.h"
#include "startup/mode.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace installer {

void mountKernelFileSystems() {
    mount("proc", "/proc", "proc", 0, nullptr);
    mkdir("/sys", 0755);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    mkdir(installer::targetDirectory, 0755);
    mkdir("/ram", 0755);
}

bool chooseConsole() {
    int virtualConsole = open("/dev/tty0", O_WRONLY);
    if (virtualConsole >= 0) {
        close(virtualConsole);
        return false;
    }
    toolLog = "/dev/null";
    std::freopen("/dev/ttyS0", "r", stdin);
    std::freopen("/dev/ttyS0", "w", stdout);
    std::freopen("/dev/ttyS0", "w", stderr);
    return true;
}

bool takeConsoleAsControllingTerminal() {
    // The kernel hands init /dev/console without making it a controlling terminal, so no key
    // would raise a signal. In a session of its own with the console as its terminal (taken
    // over from another session where one holds it, as a test harness may), Ctrl-C becomes
    // the interrupt signal for this process and its tools.
    setsid();
    return ioctl(0, TIOCSCTTY, 1) == 0;
}

void installStartupSignals() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = abortInstallation;
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    action.sa_handler = SIG_DFL;
    action.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &action, nullptr);
}

int openFrontPanel(const char* sysDevFile, const char* nodePath) {
    OwnedFile file(std::fopen(sysDevFile, "r"));
    if (!file)
        return -1;
    int fd = -1;
    int major = 0, minor = 0;
    if (std::fscanf(file.get(), "%d:%d", &major, &minor) == 2) {
        mknod(nodePath, S_IFCHR | 0666, makedev(major, minor));
        fd = open(nodePath, O_RDWR);
    } else {
        std::printf("ERROR: strange format for lcd dev\n");
    }
    return fd;
}

void readInstallType(char* text, const char* path) {
    OwnedFile file(std::fopen(path, "r"));
    readModeText(file.get(), text);
}

void createMarkerFile(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT, 0600);
    if (fd >= 0)
        close(fd);
}

void unmountAll(std::initializer_list<const char*> paths) {
    for (const char* path : paths)
        umount(path);
}

void restartMachine() {
    reboot(RB_AUTOBOOT);
}

void endInstallation(bool failed) {
    createMarkerFile(installer::TargetPath("/SHOW_LICENSE"));
    unmountAll({"/floppy", installer::targetDirectory});
    installFinished = 1;
    if (failed) {
        std::printf("Press ENTER to reboot\n");
        waitForEnter();
    }
    if (consoleState)
        leaveRawMode(*consoleState);
    std::printf("\nRebooting...\n");
    std::fflush(stdout);
    restartMachine();
}

namespace {

// The children (an installer child writing a package, a tool) got the same interrupt, but until
// they have ended their open files and working directories keep /flash busy and the unmount
// would fail. They are given a moment to go, never long: the unmount goes ahead regardless.
void letChildrenEnd() {
    for (int tick = 0; tick < 200; ++tick) {
        pid_t ended = waitpid(-1, nullptr, WNOHANG);
        if (ended < 0 && errno == ECHILD)
            return;
        if (ended == 0)
            usleep(10000);
    }
}

// Whatever the flow itself has open (the package file it is reading from the disc, a script it
// is writing into the new system) keeps that file system busy, and the unmount would fail. The
// flow never runs again after an abort, so its descriptors can go; the console's three stay.
void closeFlowDescriptors() {
    for (int fd = 3; fd < 256; ++fd)
        close(fd);
}

// A package script's shell is not this process's child but its child's: once that has gone the
// shell belongs to the first process, and it may still be on its way out, holding /flash as its
// root, when the unmount comes. A busy file system is tried again for a while; any other answer
// (not mounted, say) is final.
void unmountOnceFree(std::initializer_list<const char*> paths) {
    for (const char* path : paths) {
        for (int tick = 0; tick < 300; ++tick) {
            if (umount(path) == 0 || errno != EBUSY)
                break;
            usleep(10000);
        }
    }
}

} // namespace

void abortInstallation(int) {
    if (installFinished)
        return;
    // The dots of a step cut short must not run on under the prompt.
    cancelProgress();
    std::fputs("\n\nInstallation aborted\n", stdout);
    std::fputs("Press ENTER to reboot\n", stdout);
    std::fflush(stdout);
    letChildrenEnd();
    closeFlowDescriptors();
    unmountOnceFree({installer::TargetPath("/boot"), installer::targetDirectory, "/floppy"});
    waitForEnter();
    if (consoleState)
        leaveRawMode(*consoleState);
    restartMachine();
    // Refused (no right to restart): going back into a flow whose disk is gone would be worse
    // than ending here.
    _exit(0);
}

} // namespace installer
