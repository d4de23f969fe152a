// The CD-ROM flow as start-up runs it, inside the sandbox, with the disc served as an ext2
// image (the development kernel has no iso9660; the virtual machine runs the real mount).
// Arguments:
//   writable        the disc is mounted read-write (for vanish)
//   vanish:NAME     NAME disappears from the disc as soon as the menu has read its header
//   late:DEV:SECONDS   /dev/DEV appears only after SECONDS
//   as-startup      takes the console and the signals as start-up does, and ends the way
//                   start-up ends a CD-ROM installation (ENTER, then the restart)
#include "disk/discovery.h"
#include "flows/cdrom_install.h"
#include "package/record/record_root.h"
#include "startup/boot_steps.h"
#include "startup/console.h"

#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace installer;

namespace {

bool writableDisc = false;
bool asStartup = false;

std::string vanishing; // the file to take away, if any

// Watches the file from the moment the disc is there, so that its first close (the menu has
// read the header) cannot be missed, and takes it away then: the flow finds it gone when it
// comes to install it.
void vanishAfterFirstRead(const std::string& path) {
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, path.c_str(), IN_CLOSE_NOWRITE) < 0) {
        std::printf("cannot watch %s\n", path.c_str());
        return;
    }
    if (fork() == 0) {
        char event[sizeof(inotify_event) + 256];
        if (read(watch, event, sizeof event) > 0)
            unlink(path.c_str());
        _exit(0);
    }
    close(watch);
}

bool mountExt2Disc(const char* device) {
    bool mounted = mount(device, "/floppy", "ext2", writableDisc ? 0 : MS_RDONLY, nullptr) == 0;
    if (mounted && !vanishing.empty())
        vanishAfterFirstRead("/floppy/" + vanishing);
    return mounted;
}

void hideUntil(const std::string& device, int seconds) {
    std::string path = "/dev/" + device, hidden = path + ".late";
    rename(path.c_str(), hidden.c_str());
    if (fork() != 0)
        return;
    sleep(unsigned(seconds));
    rename(hidden.c_str(), path.c_str());
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "writable") == 0)
            writableDisc = true;
        else if (std::strcmp(argv[i], "as-startup") == 0)
            asStartup = true;
        else if (std::strncmp(argv[i], "vanish:", 7) == 0)
            vanishing = argv[i] + 7;
        else if (std::strncmp(argv[i], "late:", 5) == 0 && std::strchr(argv[i] + 5, ':'))
            hideUntil(std::string(argv[i] + 5, std::strchr(argv[i] + 5, ':')),
                      std::atoi(std::strchr(argv[i] + 5, ':') + 1));
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    static ConsoleState state;
    consoleState = &state;
    if (asStartup) {
        takeConsoleAsControllingTerminal();
        installStartupSignals();
    }
    enterRawMode(state);
    std::printf("Loading drivers\n");
    DiskRecord target;
    if (findHardDisk(target)) {
        bool installed = cdromInstallWith(target, mountExt2Disc);
        std::printf("cdromInstall=%s\n", installed ? "true" : "false");
    } else if (!asStartup) {
        return 1;
    }
    if (asStartup) {
        endInstallation(true);
        return 0;
    }
    unmountAll({"/floppy", installer::targetDirectory});
    leaveRawMode(state);
    return 0;
}
