#include "flows/hard_disk_install.h"

#include "disk/boot_record.h"
#include "disk/discovery.h"
#include "disk/memory_budget.h"
#include "disk/modules.h"
#include "disk/post_install.h"
#include "disk/preparation.h"
#include "flows/flows.h"
#include "flows/memory_file.h"
#include "flows/plan_install.h"
#include "menu/package_menu.h"
#include "network/installer_child.h"
#include "package/record/record_root.h"
#include "package/record/version.h"
#include "startup/child_process.h"
#include "startup/console.h"
#include "startup/system_interface.h"
#include "startup/write_all.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace installer {

using installer::MenuEntry;
using installer::PackageMenu;

namespace {

constexpr const char* medium = "/floppy";
constexpr int searchPasses = 20;
constexpr size_t sendBlock = 4096;

const char* const candidates[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                  "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd",
                                  "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh"};

bool exists(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0;
}

// A candidate that mounts but lacks the boot-record image or the script is someone else's.
const char* findMediumOnce(MediumMount mountMedium) {
    for (const char* device : candidates) {
        if (!mountMedium(device))
            continue;
        if (exists("/floppy/mbr") && exists("/floppy/autorun.scr"))
            return device;
        umount(medium);
    }
    return nullptr;
}

} // namespace

const char* findMedium(MediumMount mountMedium) {
    // The boot image's mount point for install media, should it lack one.
    currentSystem().makeDirectory(medium, 0755);
    startProgress("Looking for harddrives...");
    const char* device = findMediumOnce(mountMedium);
    for (int pass = 1; !device && pass < searchPasses; ++pass) {
        currentSystem().pause(1);
        device = findMediumOnce(mountMedium);
    }
    stopProgress();
    return device;
}

namespace {

bool chooseMode() {
    int fd = open("/floppy/CHOOSE", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

uint64_t fileSize(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? uint64_t(status.st_size) : 0;
}

bool readBootRecordImage(unsigned char (&sector)[512]) {
    int fd = open("/floppy/mbr", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::printf("\nFATAL ERROR: Couldn't open mbr file\n");
        return false;
    }
    size_t total = 0;
    while (total < sizeof sector) {
        ssize_t got = read(fd, sector + total, sizeof sector - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += size_t(got);
    }
    close(fd);
    if (total < sizeof sector) {
        std::printf("\nFATAL ERROR: Couldn't read mbr file\n");
        return false;
    }
    return true;
}

bool writeFirstSector(const char* device, const unsigned char (&sector)[512]) {
    int fd = open(device, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        std::printf("\nFATAL ERROR: Couldn't open disk\n");
        return false;
    }
    ssize_t put;
    do
        put = pwrite(fd, sector, sizeof sector, 0);
    while (put < 0 && errno == EINTR);
    bool written = put == ssize_t(sizeof sector) && fsync(fd) == 0;
    close(fd);
    if (!written)
        std::printf("\nFATAL ERROR: Couldn't write to disk\n");
    return written;
}

bool findTarget(const char* device, DiskRecord& target) {
    DiskRecord* table = listDisks();
    for (int i = 0; table && i < 4; ++i) {
        if (std::strcmp(table[i].device, device) == 0) {
            target = table[i];
            std::printf("\n");
            return true;
        }
    }
    std::printf("\nFATAL ERROR: Couldn't find the disk!\n");
    return false;
}

// One package from memory into an installer child, in blocks; the slot is emptied after.
bool sendPackage(MemoryFile& slot) {
    std::FILE* pipe = installer::openInstallerPipe(installer::InstallerMode::softwarePackage);
    if (!pipe) {
        std::printf("\nFATAL ERROR: Couldn't start install\n");
        return false;
    }
    while (slot.position < slot.size) {
        size_t block =
            slot.size - slot.position < sendBlock ? slot.size - slot.position : sendBlock;
        if (!writeAll(fileno(pipe), slot.data.get() + slot.position, block)) {
            std::printf("\n");
            closePipedChild(pipe);
            return false;
        }
        slot.position += uint32_t(block);
    }
    // The child reports its own verdict on the console; only a failing target stops the flow.
    int status = closePipedChild(pipe);
    slot.release();
    return !installer::targetFailed(status);
}

bool storeScript(const MemoryFile& script) {
    mkdir(installer::TargetPath("/rw"), 0755);
    int fd = open(installer::TargetPath("/rw/autorun.scr"),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::printf("\nFATAL ERROR: couldn't make script\n");
        return false;
    }
    bool written = script.size == 0 || writeAll(fd, script.data.get(), script.size);
    written = close(fd) == 0 && written;
    if (!written)
        std::printf("\nFATAL ERROR: Writing configuration failed\n");
    return written;
}

// Everything the installation needs from the medium, read while it is still there.
struct MediumContents {
    std::array<MemoryFile, mediumPackageSlots> packages;
    MemoryFile script;
    unsigned char bootRecord[512] = {};
};

// The medium's disk is about to be rewritten: what cannot be held must be known now.
bool fitsInMemory(const std::vector<MenuEntry*>& list) {
    if (list.size() > mediumPackageSlots) {
        std::printf("\nFATAL ERROR: %zu packages to install, but room for only %zu\n", list.size(),
                    mediumPackageSlots);
        return false;
    }
    uint64_t total = fileSize("/floppy/autorun.scr");
    for (const MenuEntry* entry : list)
        total += fileSize(entry->path);
    uint64_t budget = memoryBudget();
    if (total > budget) {
        std::printf("\nFATAL ERROR: installation files too large for memory (%" PRIu64
                    " bytes, room for %" PRIu64 ")\n",
                    total, budget);
        return false;
    }
    return true;
}

bool readMedium(const std::vector<MenuEntry*>& list, bool choose, MediumContents& contents) {
    for (size_t i = 0; i < list.size(); ++i) {
        std::printf("Reading: %s...", installer::packageLabel(*list[i]).c_str());
        std::fflush(stdout);
        startProgress("");
        if (!readWholeFile(contents.packages[i], list[i]->path.c_str())) {
            cancelProgress();
            std::printf("\nFATAL ERROR: could not read file %s\n", list[i]->path.c_str());
            return false;
        }
        stopProgress();
    }
    if (!readWholeFile(contents.script, "/floppy/autorun.scr")) {
        std::printf("\nFATAL ERROR: could not read configuration\n");
        return false;
    }
    return choose || readBootRecordImage(contents.bootRecord);
}

bool installFromMedium(DiskRecord& target, const char* device, bool choose) {
    PackageMenu menu;
    if (!installer::loadMenuPackages(menu))
        return false;
    if (!choose) {
        for (auto& entry : menu.entries)
            entry->selected = true;
    } else if (!installer::runMenu(menu)) {
        std::printf("Installation canceled\n");
        return false;
    }
    std::vector<MenuEntry*> list = planInstall(menu.entries);
    if (!fitsInMemory(list))
        return false;
    MediumContents contents;
    if (!readMedium(list, choose, contents))
        return false;

    umount(medium); // nothing is read from the medium after this
    if (!choose && !writeFirstSector(device, contents.bootRecord))
        return false;
    installBootCode(device);
    if (!findTarget(device, target) || !prepareDisk(target, false))
        return false;
    std::printf("\n");
    for (size_t i = 0; i < list.size(); ++i)
        if (!sendPackage(contents.packages[i]))
            return false;
    if (!storeScript(contents.script))
        return false;
    finishInstall(target);
    std::printf("\nSoftware installed.\n");
    currentSystem().pause(2);
    return true;
}

} // namespace

bool mountFatMedium(const char* device) {
    return mount(device, medium, "vfat", 0, nullptr) == 0;
}

bool hardDiskInstallFrom(DiskRecord& target, MediumMount mountMedium) {
    showBanner("hard disk installation");
    std::printf("\nLoading drivers\n");
    loadModuleList(storageModules);
    loadModuleList(usbModules);
    const char* device = findMedium(mountMedium);
    if (!device) {
        std::printf("\nFATAL ERROR: No hard disk found\n");
        return false;
    }
    return installFromMedium(target, device, chooseMode());
}

bool hardDiskInstall(DiskRecord& target) {
    return hardDiskInstallFrom(target, mountFatMedium);
}

} // namespace installer
