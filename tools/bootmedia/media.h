#pragma once
// The three media a user boots the installer from, each made from a boot image and the
// package files: a CD (ISO 9660 with a boot loader), a hard-disk medium (one FAT file system
// over the whole disk, which the installer then repartitions) and a network boot set (a TFTP
// root plus the driver package the install server hands out).
#include "tools/bootmedia/boot_image.h"

#include <string>
#include <vector>

namespace bootmedia {

struct LoaderFiles {
    std::string isolinux = "/usr/lib/ISOLINUX/isolinux.bin";
    std::string isohybridMbr = "/usr/lib/ISOLINUX/isohdpfx.bin";
    std::string pxelinux = "/usr/lib/PXELINUX/pxelinux.0";
    std::string ldlinux = "/usr/lib/syslinux/modules/bios/ldlinux.c32";
};

struct MediumOptions {
    ImageOptions image;
    std::string kernelArguments;       // appended to the loader's kernel command line
    std::vector<std::string> packages; // .rpx files
    std::string output;
    LoaderFiles loader;
};

// The boot loader's configuration: one entry, started at once, with the serial line as
// console for a serial image.
std::string loaderConfiguration(const std::string& kernelPath, const std::string& initrdPath,
                                bool serial, const std::string& arguments);

// The "mbr" of a hard-disk medium: the installer's boot code, an empty partition table and
// the boot signature. False when the code does not fit in front of the table.
bool bootRecordImage(const std::string& bootCodeFile, std::string& record, std::string& error);

bool makeCdrom(const Kernel& kernel, const MediumOptions& options, std::string& error);

struct DiskOptions {
    MediumOptions medium;
    unsigned long long size = 512ull << 20;
    std::string autorun;  // host file; empty: an empty script
    std::string mbr;      // host file of 512 bytes or more; empty: made from bootCode
    std::string bootCode; // the installer's boot code
    bool choose = false;
};
bool makeHardDisk(const Kernel& kernel, const DiskOptions& options, std::string& error);

struct NetOptions {
    MediumOptions medium; // output is a directory
    std::string rpx = "rpx";
    std::string key;
    std::string driverVersion = "1.0";
};
bool makeNetworkSet(const Kernel& kernel, const NetOptions& options, std::string& error);

} // namespace bootmedia
