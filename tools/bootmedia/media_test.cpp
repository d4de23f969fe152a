// Boot images and media made from the real kernel, read back the way the kernel, the boot
// loaders and the installer will see them.
#include "disk/modules.h"
#include "testbed/support/command_output.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "tools/bootmedia/boot_image.h"
#include "tools/bootmedia/kernel.h"
#include "tools/bootmedia/newc.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace installer;

using namespace bootmedia;

namespace {

const std::string samples = INSTALLER_BINARY_DIR "/samples/";
const std::string packages =
    samples + "system.rpx " + samples + "routing.rpx " + samples + "extras.rpx";
const std::string imageOptions =
    std::string(" --kernel-cache " BOOTMEDIA_KERNEL_CACHE " --installer " INSTALLER32_BINARY_PATH
                " --sfdisk " SFDISK_TOOL " ");

CommandRun shell(const std::string& command) {
    return runCommand(command + " 2>&1");
}

std::map<std::string, NewcEntry> readImage(const std::string& path) {
    std::vector<NewcEntry> entries;
    std::string error;
    EXPECT_TRUE(readNewc(path, entries, error)) << error;
    std::map<std::string, NewcEntry> byName;
    for (NewcEntry& entry : entries)
        byName["/" + entry.name] = std::move(entry);
    return byName;
}

// One field of a module's .modinfo, found in the file's bytes.
std::string modinfo(const std::string& module, const std::string& key) {
    std::string marker = std::string(1, '\0') + key + "=";
    size_t at = module.find(marker);
    if (at == std::string::npos)
        return "?";
    at += marker.size();
    return module.substr(at, module.find('\0', at) - at);
}

std::string key(std::string name) {
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

Kernel theKernel() {
    Kernel kernel;
    std::string error;
    EXPECT_TRUE(prepareKernel(BOOTMEDIA_KERNEL_CACHE, kernelPackage, kernel, error)) << error;
    return kernel;
}

} // namespace

TEST(BootImage, InstallerToolsDevicesAndEveryListModuleInALoadableOrder) {
    ScratchFolder scratch("bootmedia");
    Kernel kernel = theKernel();
    std::string extra = scratch / "probe";
    std::ofstream(extra) << "#!/bin/sh\n";
    CommandRun made = shell(BOOTMEDIA " image" + imageOptions + "--output " + scratch / "boot.gz" +
                            " --type 'cdrom ' --serial --add " + extra + ":/usr/bin/probe");
    ASSERT_EQ(made.status, 0) << made.output;
    auto image = readImage(scratch / "boot.gz");

    EXPECT_EQ(image["/init"].data, "sbin/init");
    EXPECT_EQ(image["/sbin/init"].data, fileContents(INSTALLER32_BINARY_PATH));
    EXPECT_EQ(image["/TYPE"].data, "cdrom "); // as given: tests choose odd types on purpose
    EXPECT_EQ(image["/usr/bin/probe"].data, "#!/bin/sh\n");
    for (const char* tool : {"/bin/bash", "/sbin/mke2fs", "/sbin/e2fsck", "/sbin/fsck",
                             "/sbin/sfdisk", "/usr/lib/bootimage/sfdisk",
                             "/lib64/ld-linux-x86-64.so.2", "/lib/x86_64-linux-gnu/libc.so.6"})
        EXPECT_EQ(image.count(tool), 1u) << tool;
    EXPECT_EQ(image["/sbin/sfdisk"].data, fileContents(SFDISK_TOOL));

    // A serial image: the installer must fail to open /dev/tty0 to take the serial line.
    EXPECT_EQ(image.count("/dev/tty0"), 0u);
    EXPECT_EQ(image.count("/dev/tty9"), 0u);
    auto device = [&](const std::string& name) {
        const NewcEntry& entry = image[name];
        return std::to_string(entry.mode & S_IFMT) + ":" + std::to_string(entry.rdevMajor) + "," +
               std::to_string(entry.rdevMinor);
    };
    auto chr = [](int major, int minor) {
        return std::to_string(S_IFCHR) + ":" + std::to_string(major) + "," + std::to_string(minor);
    };
    auto blk = [](int major, int minor) {
        return std::to_string(S_IFBLK) + ":" + std::to_string(major) + "," + std::to_string(minor);
    };
    EXPECT_EQ(device("/dev/console"), chr(5, 1));
    EXPECT_EQ(device("/dev/ttyS0"), chr(4, 64));
    EXPECT_EQ(device("/dev/null"), chr(1, 3));
    EXPECT_EQ(device("/dev/hdb"), blk(3, 64));
    EXPECT_EQ(device("/dev/hdc1"), blk(22, 1));
    EXPECT_EQ(device("/dev/sda"), blk(8, 0));
    EXPECT_EQ(device("/dev/sdb1"), blk(8, 17));
    EXPECT_EQ(device("/dev/sdh15"), blk(8, 127));
    EXPECT_EQ(device("/dev/sr3"), blk(11, 3));
    EXPECT_EQ(device("/dev/fd0"), blk(2, 0));

    // Walk the lists as the installer does: every module it finds must need only modules it
    // found before, and the storage list must bring the disk, CD and file-system drivers.
    std::string moduleDir = "/lib/modules/" + kernel.release + "/";
    std::map<std::string, size_t> loaded;
    size_t position = 0, found = 0;
    for (const char* const* list : {storageModules, usbModules})
        for (; *list; ++list, ++position) {
            auto entry = image.find(moduleDir + *list);
            if (entry == image.end())
                continue;
            ++found;
            const std::string& module = entry->second.data;
            std::string name = key(modinfo(module, "name"));
            std::string dependencies = modinfo(module, "depends");
            for (size_t from = 0; from < dependencies.size();) {
                size_t comma = dependencies.find(',', from);
                std::string dependency = key(dependencies.substr(from, comma - from));
                EXPECT_TRUE(loaded.count(dependency))
                    << *list << " (" << name << ") needs " << dependency << " loaded before";
                from = comma == std::string::npos ? dependencies.size() : comma + 1;
            }
            EXPECT_FALSE(loaded.count(name)) << name << " twice";
            loaded[name] = position;
        }
    for (const char* needed :
         {"ext4", "jbd2", "crc32c_generic", "sd_mod", "sr_mod", "ata_piix", "ahci", "isofs", "vfat",
          "nls_cp437", "nls_ascii", "usb_storage", "usbhid", "hpsa"})
        EXPECT_TRUE(loaded.count(needed)) << needed;
    EXPECT_EQ(found, 57u + slotExtras.size());
    EXPECT_EQ(modinfo(image[moduleDir + nicSlot].data, "name"), "e1000");
}

TEST(BootImage, NetworkCardOnlyAndScreenConsole) {
    ScratchFolder scratch("bootmedia");
    Kernel kernel = theKernel();
    CommandRun made = shell(BOOTMEDIA " image" + imageOptions + "--output " + scratch / "boot.gz" +
                            " --modules nic --nic e1000e");
    ASSERT_EQ(made.status, 0) << made.output;
    auto image = readImage(scratch / "boot.gz");
    EXPECT_EQ(image.count("/TYPE"), 0u);
    EXPECT_EQ(image.count("/dev/tty0"), 1u);
    EXPECT_EQ(image.count("/dev/tty9"), 1u);
    size_t modules = 0;
    for (const auto& [name, entry] : image)
        if (name.rfind("/lib/modules/", 0) == 0 && (entry.mode & S_IFMT) == S_IFREG)
            ++modules;
    EXPECT_EQ(modules, 1u);
    EXPECT_EQ(modinfo(image["/lib/modules/" + kernel.release + "/" + nicSlot].data, "name"),
              "e1000e");

    // A card whose driver needs other modules cannot be loaded alone at start-up.
    CommandRun refused = shell(BOOTMEDIA " image" + imageOptions + "--output " + scratch / "b.gz" +
                               " --modules nic --nic r8169");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("r8169 needs"), std::string::npos) << refused.output;
    EXPECT_NE(access((scratch / "b.gz").c_str(), F_OK), 0) << "no half-made image is left";
}

TEST(Media, CdromHoldsLoaderKernelImageAndPackagesAtItsRoot) {
    ScratchFolder scratch("bootmedia");
    std::string iso = scratch / "cd.iso";
    CommandRun made =
        shell(BOOTMEDIA " cd" + imageOptions + "--serial --output " + iso + " " + packages);
    ASSERT_EQ(made.status, 0) << made.output;
    CommandRun listing = shell("xorriso -indev " + iso + " -find / -type f");
    for (const char* file :
         {"'/system.rpx'", "'/routing.rpx'", "'/extras.rpx'", "'/vmlinuz'", "'/initrd.gz'",
          "'/isolinux/isolinux.bin'", "'/isolinux/ldlinux.c32'", "'/isolinux/isolinux.cfg'"})
        EXPECT_NE(listing.output.find(file), std::string::npos) << file << listing.output;
    CommandRun boot = shell("xorriso -indev " + iso + " -report_el_torito plain");
    EXPECT_NE(boot.output.find("El Torito boot img"), std::string::npos) << boot.output;
    ASSERT_EQ(shell("xorriso -osirrox on -indev " + iso + " -extract /initrd.gz " +
                    scratch / "initrd.gz" + " -extract /isolinux/isolinux.cfg " +
                    scratch / "isolinux.cfg")
                  .status,
              0);
    EXPECT_EQ(readImage(scratch / "initrd.gz")["/TYPE"].data, "cdrom");
    std::string config = fileContents(scratch / "isolinux.cfg");
    EXPECT_NE(config.find("SERIAL 0"), std::string::npos) << config;
    EXPECT_NE(config.find("console=ttyS0"), std::string::npos) << config;
    EXPECT_EQ(fileContents(samples + "system.rpx").size(),
              static_cast<size_t>(std::stoul(shell("xorriso -indev " + iso +
                                                   " -find /system.rpx -exec lsdl 2>/dev/null | "
                                                   "awk '/system.rpx/ {print $5}'")
                                                 .output)));
}

TEST(Media, HardDiskIsOneFatFileSystemThatStartsTheHardDiskInstallation) {
    ScratchFolder scratch("bootmedia");
    std::string disk = scratch / "hdd.img";
    std::string autorun = scratch / "autorun.scr";
    std::ofstream(autorun) << "set hostname kestrova\n";
    CommandRun made = shell(BOOTMEDIA " disk" + imageOptions + "--output " + disk +
                            " --size 100M --choose --autorun " + autorun + " --boot-code " +
                            BOOT_CODE_FILE + " " + packages);
    ASSERT_EQ(made.status, 0) << made.output;
    struct stat st {};
    ASSERT_EQ(stat(disk.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100 << 20); // the size the installer then partitions

    // No partition table: the first sector is the FAT boot sector the loader was put into.
    std::string sector = fileContents(disk).substr(0, 512);
    EXPECT_EQ(sector.substr(510), "\x55\xAA");
    EXPECT_TRUE(sector.substr(0x36, 3) == "FAT" || sector.substr(0x52, 3) == "FAT");
    EXPECT_NE(sector.find("SYSLINUX"), std::string::npos);

    CommandRun listing = shell("mdir -a -b -i " + disk + " ::/");
    for (const char* file :
         {"::/system.rpx", "::/routing.rpx", "::/extras.rpx", "::/mbr", "::/autorun.scr",
          "::/CHOOSE", "::/vmlinuz", "::/initrd.gz", "::/syslinux.cfg", "::/ldlinux.sys"})
        EXPECT_NE(listing.output.find(file), std::string::npos) << file << listing.output;
    EXPECT_EQ(shell("mtype -i " + disk + " ::/autorun.scr").output, "set hostname kestrova\n");
    CommandRun config = shell("mtype -i " + disk + " ::/syslinux.cfg");
    EXPECT_NE(config.output.find("-hdd-install"), std::string::npos) << config.output;

    // "mbr": the installer's boot code, an empty table and the signature.
    ASSERT_EQ(shell("mcopy -i " + disk + " ::/mbr " + scratch / "mbr").status, 0);
    std::string mbr = fileContents(scratch / "mbr");
    std::string code = fileContents(BOOT_CODE_FILE);
    ASSERT_EQ(mbr.size(), 512u);
    EXPECT_EQ(mbr.substr(0, code.size()), code);
    EXPECT_EQ(mbr.substr(code.size(), 510 - code.size()), std::string(510 - code.size(), '\0'));
    EXPECT_EQ(mbr.substr(510), "\x55\xAA");

    CommandRun small = shell(BOOTMEDIA " disk" + imageOptions + "--output " + scratch / "s.img" +
                             " --size 10M --boot-code " + BOOT_CODE_FILE + " " + packages);
    EXPECT_NE(small.status, 0);
    EXPECT_NE(small.output.find("between 64M"), std::string::npos) << small.output;
    CommandRun notPackage =
        shell(BOOTMEDIA " disk" + imageOptions + "--output " + scratch / "s.img" + " --boot-code " +
              BOOT_CODE_FILE + " " + BOOT_CODE_FILE);
    EXPECT_NE(notPackage.status, 0);
    EXPECT_NE(notPackage.output.find("end in .rpx"), std::string::npos) << notPackage.output;

    // An empty script given on purpose is a medium with an empty script, not an error.
    std::string empty = scratch / "empty.scr";
    std::ofstream{empty};
    CommandRun quiet =
        shell(BOOTMEDIA " disk" + imageOptions + "--output " + scratch / "e.img" +
              " --size 64M --autorun " + empty + " --boot-code " + BOOT_CODE_FILE + " " + packages);
    ASSERT_EQ(quiet.status, 0) << quiet.output;
    CommandRun script = shell("mtype -i " + scratch / "e.img" + " ::/autorun.scr");
    EXPECT_EQ(script.status, 0);
    EXPECT_EQ(script.output, "");
}

TEST(Media, NetworkSetIsATftpRootAndASignedDriverPackage) {
    ScratchFolder scratch("bootmedia");
    Kernel kernel = theKernel();
    std::string out = scratch / "net";
    CommandRun made = shell(BOOTMEDIA " net" + imageOptions + "--output " + out + " --key " +
                            INSTALLER_SOURCE_DIR "/keys/dev.sec --rpx " RPX_TOOL);
    ASSERT_EQ(made.status, 0) << made.output;
    for (const char* file : {"/tftp/pxelinux.0", "/tftp/ldlinux.c32", "/tftp/pxelinux.cfg/default",
                             "/tftp/vmlinuz", "/tftp/initrd.gz", "/drivers.rpx"})
        EXPECT_EQ(access((out + file).c_str(), R_OK), 0) << file;
    auto image = readImage(out + "/tftp/initrd.gz");
    EXPECT_EQ(image["/TYPE"].data, "net");
    std::string moduleDir = "/lib/modules/" + kernel.release + "/";
    EXPECT_EQ(image.count(moduleDir + nicSlot), 1u);
    EXPECT_EQ(image.count(moduleDir + "kernel/drivers/scsi/sd_mod.ko"), 0u);

    CommandRun verified = shell(RPX_TOOL " verify --key " INSTALLER_SOURCE_DIR "/keys/dev.pub " +
                                out + "/drivers.rpx");
    EXPECT_EQ(verified.status, 0) << verified.output;
    // Unpacked below the running root, the files land where the lists load them from.
    CommandRun contents = shell(RPX_TOOL " inspect " + out + "/drivers.rpx");
    for (const char* slot : {"kernel/fs/ext2/ext2.ko", "kernel/drivers/scsi/sd_mod.ko",
                             "kernel/drivers/usb/usb-common.ko", "kernel/drivers/scsi/hpsa.ko"})
        EXPECT_NE(contents.output.find(" lib/modules/" + kernel.release + "/" + slot),
                  std::string::npos)
            << slot;
    EXPECT_EQ(contents.output.find(nicSlot), std::string::npos);
}
