#pragma once
// What VM tests share: the kernel and boot image the media builder made, and boot images of a
// test's own, laid over a copy of that one. The build names both files; the environment
// variables INSTALLER_VM_KERNEL and INSTALLER_VM_BOOT_IMAGE override them for a run by hand.
#include "testbed/ext_files.h"
#include "testbed/initramfs.h"
#include "testbed/partition_boot_sector.h"
#include "testbed/vm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <unistd.h>

#ifndef INSTALLER_VM_KERNEL
#define INSTALLER_VM_KERNEL ""
#endif
#ifndef INSTALLER_VM_BOOT_IMAGE
#define INSTALLER_VM_BOOT_IMAGE ""
#endif

inline std::string vmFile(const char* variable, const char* built) {
    const char* given = std::getenv(variable);
    return given && *given ? given : built;
}
inline std::string vmKernel() {
    return vmFile("INSTALLER_VM_KERNEL", INSTALLER_VM_KERNEL);
}
inline std::string vmBootImage() {
    return vmFile("INSTALLER_VM_BOOT_IMAGE", INSTALLER_VM_BOOT_IMAGE);
}

// Why a VM test cannot run here, or empty.
inline std::string vmMissing() {
    if (geteuid() != 0)
        return "the virtual machine's disks and network need root";
    for (const std::string& file : {vmKernel(), vmBootImage()})
        if (file.empty() || access(file.c_str(), R_OK) != 0)
            return "no kernel or boot image (" + file + "): build the boot media first";
    return "";
}

// Writes to path a copy of the boot image followed by an archive that lay fills: its entries
// replace those of the same name. /dev/tty9, the tool log, becomes the second serial line, which
// the harness keeps (VirtualMachine::toolLog); the ninth VT could not be read from here.
inline bool bootImageWith(const std::string& path,
                          const std::function<void(InitramfsWriter&)>& lay) {
    std::error_code error;
    std::filesystem::copy_file(vmBootImage(), path,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        return false;
    InitramfsWriter overlay(path, true);
    overlay.characterDevice("/dev/tty9", 4, 65);
    lay(overlay);
    return overlay.close();
}

// The emulator's block-debugging rules (VmDisk::faults, VmOptions::cdromFaults) by which every
// read covering that 512-byte sector fails with EIO, a spot the drive can no longer read.
inline std::string unreadableSectorRules(uint64_t sector) {
    return "[inject-error]\nevent = \"read_aio\"\niotype = \"read\"\nerrno = \"5\"\n"
           "once = \"off\"\nsector = \"" +
           std::to_string(sector) + "\"\n";
}

// The console transcript without the kernel's own lines ("[    6.65] ata1.00: ..."), which
// come in wherever they happen, in the middle of the installer's lines too.
inline std::string withoutKernelLines(const std::string& transcript) {
    return std::regex_replace(transcript, std::regex(R"(\[ *[0-9]+\.[0-9]+\] [^\n]*\n)"), "");
}

// Options for a direct start of the media's kernel with the boot image at bootImage.
inline VmOptions vmDirectStart(const std::string& bootImage, const std::string& append = "") {
    VmOptions options;
    options.kernel = vmKernel();
    options.initrd = bootImage;
    options.append = append;
    options.timeLimit = 240;
    return options;
}

// Starts an installed disk under the BIOS, the test's partition boot sector standing in for the
// new system's loader (the file system leaves that sector free): true when our boot code in the
// boot record started partition `entry`. Links installer_partition_boot_sector.
inline bool bootsThroughOurBootCode(const VmDisk& disk, std::string& transcript, int entry = 1) {
    uint64_t offset = 0, size = 0;
    if (!partitionExtent(disk.image, entry, offset, size)) {
        transcript = "no partition " + std::to_string(entry) + " on " + disk.image;
        return false;
    }
    int fd = open(disk.image.c_str(), O_WRONLY | O_CLOEXEC);
    bool written = fd >= 0 && pwrite(fd, partitionBootSector, 512, off_t(offset)) == 512;
    if (fd >= 0)
        close(fd);
    if (!written) {
        transcript = "cannot write the partition boot sector of " + disk.image;
        return false;
    }
    VmOptions options;
    options.bootFrom = "disk";
    options.disks = {disk};
    options.biosOnSerial = true;
    options.memoryMiB = 16;
    options.timeLimit = 60;
    VirtualMachine machine(options);
    if (!machine.start()) {
        transcript = machine.error();
        return false;
    }
    bool reached =
        machine.waitFor(std::string(partitionBootSectorReached) + std::to_string(entry) + "\n", 60);
    transcript = machine.transcript();
    return reached;
}
