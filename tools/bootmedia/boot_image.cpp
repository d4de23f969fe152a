#include "tools/bootmedia/boot_image.h"

#include "disk/modules.h"
#include "package/record/record_root.h"
#include "tools/bootmedia/newc.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace installer;

namespace bootmedia {

// scsi_common to ext4 fill the free slots in front of scsi_mod and sd_mod; the file systems
// of the media and the SAS and HID cores go into the free ATA slots further down; usb-common
// moved and returns to its old path.
const std::vector<std::string> slotExtras = {
    "scsi_common",
    "crc64",
    "crc64_rocksoft_generic",
    "crc64-rocksoft",
    "crct10dif_common",
    "crct10dif_generic",
    "crc-t10dif",
    "t10-pi",
    "crc16",
    "mbcache",
    "jbd2",
    "crc32c_generic",
    "ext4",
    "isofs",
    "fat",
    "vfat",
    "nls_cp437",
    "nls_ascii",
    "scsi_transport_sas",
    "hid",
    "usb-common",
};

std::vector<std::string> mediaModuleNames(const std::string& nic) {
    std::vector<std::string> names = slotExtras;
    for (const char* const* list : {storageModules, usbModules})
        for (; *list; ++list)
            names.push_back(*list); // a path: its file name counts
    names.push_back(nic);
    return names;
}

bool planListModules(const ModuleSet& modules, std::vector<Placement>& plan, std::string& error) {
    SlotRequest request;
    for (const char* const* list : {storageModules, usbModules})
        for (; *list; ++list)
            request.lists.push_back(*list);
    request.extras = slotExtras;
    return planSlots(modules, request, plan, error);
}

namespace {

void addDevices(RootPlan& root, bool serial) {
    root.device(false, makedev(5, 1), "/dev/console", 0600);
    root.device(false, makedev(5, 0), "/dev/tty", 0666);
    root.device(false, makedev(4, 64), "/dev/ttyS0", 0660);
    if (!serial) {
        root.device(false, makedev(4, 0), "/dev/tty0", 0620);
        root.device(false, makedev(4, 9), "/dev/tty9", 0620);
    }
    root.device(false, makedev(1, 3), "/dev/null", 0666);
    root.device(false, makedev(1, 5), "/dev/zero", 0666);
    root.device(false, makedev(1, 8), "/dev/random", 0666);
    root.device(false, makedev(1, 9), "/dev/urandom", 0666);
    // IDE: two disks on each of the first two channels, 64 minors a disk.
    const unsigned ideMajor[] = {3, 3, 22, 22};
    for (unsigned disk = 0; disk < 4; ++disk) {
        std::string name = std::string("/dev/hd") + static_cast<char>('a' + disk);
        unsigned base = (disk % 2) * 64;
        root.device(true, makedev(ideMajor[disk], base), name);
        for (unsigned part = 1; part <= 8; ++part)
            root.device(true, makedev(ideMajor[disk], base + part), name + std::to_string(part));
    }
    for (unsigned disk = 0; disk < 8; ++disk) {
        std::string name = std::string("/dev/sd") + static_cast<char>('a' + disk);
        root.device(true, makedev(8, disk * 16), name);
        for (unsigned part = 1; part <= 15; ++part)
            root.device(true, makedev(8, disk * 16 + part), name + std::to_string(part));
    }
    for (unsigned drive = 0; drive < 4; ++drive)
        root.device(true, makedev(11, drive), "/dev/sr" + std::to_string(drive));
    root.device(true, makedev(2, 0), "/dev/fd0");
}

} // namespace

bool planBootImage(const Kernel& kernel, const ImageOptions& options, RootPlan& root,
                   std::vector<Placement>& placed, std::string& error) {
    for (const std::string* path : {&options.installer, &options.sfdisk})
        if (access(path->c_str(), R_OK) != 0) {
            error = *path + ": not found (is it built?)";
            return false;
        }
    for (const char* dir : {"/bin", "/sbin", "/lib", "/usr/lib/bootimage", "/etc", "/proc", "/sys",
                            "/dev", "/floppy", "/cdrom", installer::targetDirectory, "/ram"})
        root.directory(dir);
    root.directory("/tmp", 01777);
    root.copyFile(options.installer, "/sbin/init");
    // The kernel starts /init from an initial root; its name keeps the word the installer
    // recognises itself by.
    root.symlink("sbin/init", "/init");
    if (!addBootImageTools(root, options.sfdisk)) {
        error = root.error();
        return false;
    }
    if (options.type)
        root.text(*options.type, "/TYPE");
    addDevices(root, options.serial);

    placed.clear();
    if (options.modules != ModuleSelection::none) {
        ModuleSet modules;
        if (!scanModules(kernel.moduleDir, modules, error, mediaModuleNames(options.nic)))
            return false;
        Placement nic;
        if (!planSingle(modules, nicSlot, options.nic, nic, error))
            return false;
        placed.push_back(nic);
        if (options.modules == ModuleSelection::all) {
            std::vector<Placement> lists;
            if (!planListModules(modules, lists, error))
                return false;
            placed.insert(placed.end(), lists.begin(), lists.end());
        }
        std::string target = "/lib/modules/" + kernel.release + "/";
        for (const Placement& placement : placed)
            root.copyFile(kernel.moduleDir + "/" + placement.source, target + placement.slot);
    }
    for (const auto& [host, path] : options.additions) {
        if (path.empty() || path[0] != '/') {
            error = "image path " + path + " must be absolute";
            return false;
        }
        if (!root.copyTree(host, path)) {
            error = root.error();
            return false;
        }
    }
    return true;
}

bool writeBootImage(const RootPlan& root, const std::string& output, std::string& error) {
    NewcWriter out;
    if (!out.open(output)) {
        error = out.error();
        return false;
    }
    bool ok = true;
    for (const RootStep& step : root.steps()) {
        switch (step.kind) {
        case RootStep::Directory:
            ok = out.directory(step.target, step.mode);
            break;
        case RootStep::Copy:
            ok = out.file(step.target, step.source);
            break;
        case RootStep::Symlink:
            ok = out.symlink(step.target, step.source);
            break;
        case RootStep::CharDevice:
        case RootStep::BlockDevice:
            ok = out.device(step.target, step.kind == RootStep::BlockDevice, major(step.device),
                            minor(step.device), step.mode);
            break;
        case RootStep::WriteText:
            ok = out.text(step.target, step.source, step.mode);
            break;
        case RootStep::Bind:
            error = step.target + ": a boot image cannot bind host files";
            return false;
        }
        if (!ok)
            break;
    }
    ok = out.finish() && ok;
    if (!ok) {
        error = out.error();
        unlink(output.c_str());
    }
    return ok;
}

} // namespace bootmedia
