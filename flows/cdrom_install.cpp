#include "flows/cdrom_install.h"

#include "disk/boot_record.h"
#include "disk/post_install.h"
#include "disk/preparation.h"
#include "flows/flows.h"
#include "flows/plan_install.h"
#include "menu/package_menu.h"
#include "network/installer_child.h"
#include "package/record/record_root.h"
#include "startup/boot_steps.h"
#include "startup/child_process.h"
#include "startup/console.h"
#include "startup/system_interface.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace installer {

namespace {

const char* const discCandidates[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                      "/dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr3"};
constexpr int discPasses = 20;

bool findDisc(DiscMount mountDisc) {
    currentSystem().makeDirectory("/floppy", 0755);
    for (int pass = 0; pass < discPasses; ++pass) {
        if (pass > 0)
            currentSystem().pause(1);
        for (const char* device : discCandidates)
            if (mountDisc(device))
                return true;
    }
    return false;
}

ssize_t readPiece(int fd, char* buffer, size_t size) {
    ssize_t got;
    do
        got = read(fd, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

// A child that ended by itself with status 0 stopped reading because it was done with the
// package (a package it refuses, it says why itself); a child that died, or that found the
// target failing, ends the flow.
bool childEndedOnItsOwn(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

bool mountIsoDisc(const char* device) {
    return mount(device, "/floppy", "iso9660", MS_RDONLY, nullptr) == 0;
}

bool sendPackageFile(const std::string& path) {
    std::FILE* pipe = installer::openInstallerPipe(installer::InstallerMode::softwarePackage);
    if (!pipe) {
        std::printf("\nFATAL ERROR: couldn't start install\n");
        return false;
    }
    // Unbuffered: each piece goes out as one write, and a failed one leaves nothing behind
    // that closing the stream would try again.
    setvbuf(pipe, nullptr, _IONBF, 0);
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char piece[4096];
    for (;;) {
        ssize_t got = fd < 0 ? -1 : readPiece(fd, piece, sizeof piece);
        if (got < 0) {
            closePipedChild(pipe);
            if (fd >= 0)
                close(fd);
            std::printf("\nFATAL ERROR: corrupted CD-ROM\n");
            return false;
        }
        if (got == 0) {
            int status = closePipedChild(pipe);
            close(fd);
            return !installer::targetFailed(status);
        }
        if (std::fwrite(piece, 1, size_t(got), pipe) != size_t(got)) {
            int status = closePipedChild(pipe);
            close(fd);
            if (childEndedOnItsOwn(status))
                return true;
            std::printf("\n");
            return false;
        }
    }
}

bool cdromInstallWith(DiskRecord& target, DiscMount mountDisc) {
    if (!findDisc(mountDisc)) {
        std::printf("\nFATAL ERROR: no CD-ROM found\n");
        return false;
    }
    installer::PackageMenu menu;
    if (!installer::loadMenuPackages(menu))
        return false;
    if (!installer::runMenu(menu)) {
        std::printf("Installation canceled\n");
        return false;
    }
    bool keepConfiguration = askYesNo("Do you want to keep old configuration? ");
    std::printf("\nWarning: all data on the disk will be erased!\n\n");
    if (!askYesNo("Continue?"))
        return false;
    std::printf("\n");
    installBootCode(target.device);
    if (!prepareDisk(target, keepConfiguration))
        return false;
    std::printf("\n");
    for (installer::MenuEntry* entry : planInstall(menu.entries))
        if (!sendPackageFile(entry->path))
            return false;
    createMarkerFile(installer::TargetPath("/CDINSTALL"));
    finishInstall(target);
    std::printf("\nSoftware installed.\n");
    return true;
}

bool cdromInstall(DiskRecord& target) {
    return cdromInstallWith(target, mountIsoDisc);
}

} // namespace installer
