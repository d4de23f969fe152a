// The CD-ROM flow as start-up runs it, inside the sandbox, with the disc served as an ext2
// image (the development kernel has no iso9660; the virtual machine runs the real mount).
// Arguments:
//   writable        the disc is mounted read-write (for vanish)
//   vanish:NAME     NAME disappears from the disc once the target disk has been prepared
//   late:DEV:SECONDS   /dev/DEV appears only after SECONDS
#include "disk/discovery.h"
#include "flows/cdrom_install.h"
#include "startup/boot_steps.h"
#include "startup/console.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool writableDisc = false;

bool mountExt2Disc(const char* device) {
    return mount(device, "/floppy", "ext2", writableDisc ? 0 : MS_RDONLY, nullptr) == 0;
}

// A disc that loses a file while the installation runs: the file is gone by the time the flow
// reads it, after the menu has read its header.
void vanishAfterPreparation(const std::string& name) {
    if (fork() != 0)
        return;
    struct stat st;
    for (int i = 0; i < 60000 && stat("/flash/etc/fstab", &st) != 0; ++i)
        usleep(10000);
    unlink(("/floppy/" + name).c_str());
    _exit(0);
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
    std::string vanish;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "writable") == 0)
            writableDisc = true;
        else if (std::strncmp(argv[i], "vanish:", 7) == 0)
            vanish = argv[i] + 7;
        else if (std::strncmp(argv[i], "late:", 5) == 0 && std::strchr(argv[i] + 5, ':'))
            hideUntil(std::string(argv[i] + 5, std::strchr(argv[i] + 5, ':')),
                      std::atoi(std::strchr(argv[i] + 5, ':') + 1));
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    static ConsoleState state;
    consoleState = &state;
    enterRawMode(state);
    std::printf("Loading drivers\n");
    DiskRecord target;
    if (!findHardDisk(target))
        return 1;
    if (!vanish.empty())
        vanishAfterPreparation(vanish);
    bool installed = cdromInstallWith(target, mountExt2Disc);
    std::printf("cdromInstall=%s\n", installed ? "true" : "false");
    unmountAll({"/floppy", "/flash"});
    leaveRawMode(state);
    return 0;
}
