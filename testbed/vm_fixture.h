#pragma once
// What VM tests share: the kernel and boot image the media builder made, and boot images of a
// test's own, laid over a copy of that one. The build names both files; the environment
// variables INSTALLER_VM_KERNEL and INSTALLER_VM_BOOT_IMAGE override them for a run by hand.
#include "testbed/initramfs.h"
#include "testbed/vm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
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

// Options for a direct start of the media's kernel with the boot image at bootImage.
inline VmOptions vmDirectStart(const std::string& bootImage, const std::string& append = "") {
    VmOptions options;
    options.kernel = vmKernel();
    options.initrd = bootImage;
    options.append = append;
    options.timeLimit = 240;
    return options;
}
