// The installer's entry point: the boot image's init.
#include "disk/discovery.h"
#include "disk/disk_record.h"
#include "disk/modules.h"
#include "flows/flows.h"
#include "network/network_install.h"
#include "package/record/record_root.h"
#include "startup/boot_steps.h"
#include "startup/console.h"
#include "startup/init_wrapper.h"
#include "startup/mode.h"

#include <cstdio>
#include <unistd.h>

using namespace installer;

namespace {

// Runs the flow the mode names; true when the installation failed.
bool runInstallation(InstallMode mode, DiskRecord& target) {
    switch (mode) {
    case InstallMode::hardDisk:
        return !hardDiskInstall(target);
    case InstallMode::cdrom:
        enterRawMode(*consoleState);
        std::printf("Loading drivers\n");
        loadModuleList(storageModules);
        loadModuleList(usbModules);
        if (findHardDisk(target))
            cdromInstall(target);
        // The disc must come out before the restart: always wait for ENTER.
        return true;
    case InstallMode::network:
        return !runNetworkInstall(target);
    case InstallMode::unknown:
        break;
    }
    std::printf("FATAL ERROR: internal error\n");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int initExitCode = 0;
    bool asInit = startedAsInit(argv[0]);
    if (asInit && forkAndWaitAsInit(initExitCode))
        return initExitCode;

    mountKernelFileSystems();
    chooseConsole();
    // Started from a shell, the shell's terminal already delivers Ctrl-C.
    if (asInit)
        takeConsoleAsControllingTerminal();
    // Dots from the alarm signal go straight to the console; nothing may sit in a buffer
    // behind them.
    setvbuf(stdout, nullptr, _IONBF, 0);
    static ConsoleState state;
    consoleState = &state;
    installStartupSignals();
    loadModule("drivers/net/atl1c.ko");
    lcdFd = openFrontPanel();

    static DiskRecord target;
    target = DiskRecord{};
    bool hardDiskArgument = hasHardDiskArgument(argc, argv);
    char modeText[80];
    readInstallType(modeText);
    bool failed = runInstallation(chooseInstallMode(hardDiskArgument, modeText), target);
    endInstallation(failed);
    return 0;
}
