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
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace installer;
using namespace bootmedia;
using testing::HasSubstr;

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

// bootmedia COMMAND with the kernel cache, installer and sfdisk, writing `output`.
CommandRun media(const std::string& command, const std::string& output, const std::string& rest) {
    return shell(BOOTMEDIA " " + command + imageOptions + "--output " + output + " " + rest);
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

// Where the image holds the kernel's modules.
std::string moduleDir() {
    Kernel kernel;
    std::string error;
    EXPECT_TRUE(prepareKernel(BOOTMEDIA_KERNEL_CACHE, kernelPackage, kernel, error)) << error;
    return "/lib/modules/" + kernel.release + "/";
}

} // namespace

TEST(BootImage, InstallerToolsDevicesAndEveryListModuleInALoadableOrder) {
    ScratchFolder scratch("bootmedia");
    std::string extra = scratch / "probe";
    std::ofstream(extra) << "#!/bin/sh\n";
    CommandRun made = media("image", scratch / "boot.gz",
                            "--type 'cdrom ' --serial --add " + extra + ":/usr/bin/probe");
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
    std::string devices;
    for (const char* name : {"/dev/console", "/dev/ttyS0", "/dev/null", "/dev/hdb", "/dev/hdc1",
                             "/dev/sda", "/dev/sdb1", "/dev/sdh15", "/dev/sr3", "/dev/fd0"}) {
        const NewcEntry& entry = image[name];
        devices += std::string(" ") +
                   (S_ISCHR(entry.mode)   ? "c"
                    : S_ISBLK(entry.mode) ? "b"
                                          : "?") +
                   std::to_string(entry.rdevMajor) + "," + std::to_string(entry.rdevMinor);
    }
    EXPECT_EQ(devices, " c5,1 c4,64 c1,3 b3,64 b22,1 b8,0 b8,17 b8,127 b11,3 b2,0");

    // Walk the lists as the installer does: every module it finds must need only modules it
    // found before, and the storage list must bring the disk, CD and file-system drivers.
    std::string modules = moduleDir();
    std::map<std::string, size_t> loaded;
    size_t position = 0, found = 0;
    for (const char* const* list : {storageModules, usbModules})
        for (; *list; ++list, ++position) {
            auto entry = image.find(modules + *list);
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
    EXPECT_EQ(modinfo(image[modules + nicSlot].data, "name"), "e1000");
}

TEST(BootImage, NetworkCardOnlyAndScreenConsole) {
    ScratchFolder scratch("bootmedia");
    CommandRun made = media("image", scratch / "boot.gz", "--modules nic --nic e1000e");
    ASSERT_EQ(made.status, 0) << made.output;
    auto image = readImage(scratch / "boot.gz");
    EXPECT_EQ(image.count("/TYPE"), 0u);
    EXPECT_EQ(image.count("/dev/tty0"), 1u);
    EXPECT_EQ(image.count("/dev/tty9"), 1u);
    size_t modules = 0;
    for (const auto& [name, entry] : image)
        modules += name.starts_with("/lib/modules/") && S_ISREG(entry.mode);
    EXPECT_EQ(modules, 1u);
    EXPECT_EQ(modinfo(image[moduleDir() + nicSlot].data, "name"), "e1000e");

    // A card whose driver needs other modules cannot be loaded alone at start-up.
    CommandRun refused = media("image", scratch / "b.gz", "--modules nic --nic r8169");
    EXPECT_NE(refused.status, 0);
    EXPECT_THAT(refused.output, HasSubstr("r8169 needs"));
    EXPECT_NE(access((scratch / "b.gz").c_str(), F_OK), 0) << "no half-made image is left";
}

TEST(Media, CdromHoldsLoaderKernelImageAndPackagesAtItsRoot) {
    ScratchFolder scratch("bootmedia");
    std::string iso = scratch / "cd.iso";
    CommandRun made = media("cd", iso, "--serial " + packages);
    ASSERT_EQ(made.status, 0) << made.output;
    CommandRun listing = shell("xorriso -indev " + iso + " -find / -type f");
    for (const char* file :
         {"'/system.rpx'", "'/routing.rpx'", "'/extras.rpx'", "'/vmlinuz'", "'/initrd.gz'",
          "'/isolinux/isolinux.bin'", "'/isolinux/ldlinux.c32'", "'/isolinux/isolinux.cfg'"})
        EXPECT_THAT(listing.output, HasSubstr(file));
    EXPECT_THAT(shell("xorriso -indev " + iso + " -report_el_torito plain").output,
                HasSubstr("El Torito boot img"));
    ASSERT_EQ(shell("xorriso -osirrox on -indev " + iso + " -extract /initrd.gz " +
                    scratch / "initrd.gz" + " -extract /isolinux/isolinux.cfg " +
                    scratch / "isolinux.cfg")
                  .status,
              0);
    EXPECT_EQ(readImage(scratch / "initrd.gz")["/TYPE"].data, "cdrom");
    std::string config = fileContents(scratch / "isolinux.cfg");
    EXPECT_THAT(config, HasSubstr("SERIAL 0"));
    EXPECT_THAT(config, HasSubstr("console=ttyS0"));
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
    const std::string code = fileContents(BOOT_CODE_FILE),
                      withCode = " --boot-code " BOOT_CODE_FILE " ";
    CommandRun made =
        media("disk", disk, "--size 100M --choose --autorun " + autorun + withCode + packages);
    ASSERT_EQ(made.status, 0) << made.output;
    struct stat st {};
    ASSERT_EQ(stat(disk.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100 << 20); // the size the installer then partitions

    // No partition table: the first sector is the FAT boot sector the loader was put into.
    std::string sector = fileContents(disk).substr(0, 512);
    EXPECT_EQ(sector.substr(510), "\x55\xAA");
    EXPECT_TRUE(sector.substr(0x36, 3) == "FAT" || sector.substr(0x52, 3) == "FAT");
    EXPECT_THAT(sector, HasSubstr("SYSLINUX"));

    CommandRun listing = shell("mdir -a -b -i " + disk + " ::/");
    for (const char* file :
         {"::/system.rpx", "::/routing.rpx", "::/extras.rpx", "::/mbr", "::/autorun.scr",
          "::/CHOOSE", "::/vmlinuz", "::/initrd.gz", "::/syslinux.cfg", "::/ldlinux.sys"})
        EXPECT_THAT(listing.output, HasSubstr(file));
    EXPECT_EQ(shell("mtype -i " + disk + " ::/autorun.scr").output, "set hostname kestrova\n");
    EXPECT_THAT(shell("mtype -i " + disk + " ::/syslinux.cfg").output, HasSubstr("-hdd-install"));

    // "mbr": the installer's boot code, an empty table and the signature.
    ASSERT_EQ(shell("mcopy -i " + disk + " ::/mbr " + scratch / "mbr").status, 0);
    std::string mbr = fileContents(scratch / "mbr");
    ASSERT_EQ(mbr.size(), 512u);
    EXPECT_EQ(mbr.substr(0, code.size()), code);
    EXPECT_EQ(mbr.substr(code.size(), 510 - code.size()), std::string(510 - code.size(), '\0'));
    EXPECT_EQ(mbr.substr(510), "\x55\xAA");

    for (auto [rest, message] : {std::pair{"--size 10M" + withCode + packages, "between 64M"},
                                 {withCode + BOOT_CODE_FILE, "end in .rpx"}}) {
        CommandRun refused = media("disk", scratch / "s.img", rest);
        EXPECT_NE(refused.status, 0);
        EXPECT_THAT(refused.output, HasSubstr(message));
    }

    // An empty script given on purpose is a medium with an empty script, not an error.
    std::string empty = scratch / "empty.scr";
    std::ofstream{empty};
    CommandRun quiet =
        media("disk", scratch / "e.img", "--size 64M --autorun " + empty + withCode + packages);
    ASSERT_EQ(quiet.status, 0) << quiet.output;
    CommandRun script = shell("mtype -i " + scratch / "e.img" + " ::/autorun.scr");
    EXPECT_EQ(script.status, 0);
    EXPECT_EQ(script.output, "");
}

TEST(Media, NetworkSetIsATftpRootAndASignedDriverPackage) {
    ScratchFolder scratch("bootmedia");
    std::string out = scratch / "net", modules = moduleDir();
    CommandRun made =
        media("net", out, "--key " INSTALLER_SOURCE_DIR "/keys/dev.sec --rpx " RPX_TOOL);
    ASSERT_EQ(made.status, 0) << made.output;
    for (const char* file : {"/tftp/pxelinux.0", "/tftp/ldlinux.c32", "/tftp/pxelinux.cfg/default",
                             "/tftp/vmlinuz", "/tftp/initrd.gz", "/drivers.rpx"})
        EXPECT_EQ(access((out + file).c_str(), R_OK), 0) << file;
    auto image = readImage(out + "/tftp/initrd.gz");
    EXPECT_EQ(image["/TYPE"].data, "net");
    EXPECT_EQ(image.count(modules + nicSlot), 1u);
    EXPECT_EQ(image.count(modules + "kernel/drivers/scsi/sd_mod.ko"), 0u);

    CommandRun verified = shell(RPX_TOOL " verify --key " INSTALLER_SOURCE_DIR "/keys/dev.pub " +
                                out + "/drivers.rpx");
    EXPECT_EQ(verified.status, 0) << verified.output;
    // Unpacked below the running root, the files land where the lists load them from.
    CommandRun contents = shell(RPX_TOOL " inspect " + out + "/drivers.rpx");
    for (const char* slot : {"kernel/fs/ext2/ext2.ko", "kernel/drivers/scsi/sd_mod.ko",
                             "kernel/drivers/usb/usb-common.ko", "kernel/drivers/scsi/hpsa.ko"})
        EXPECT_THAT(contents.output, HasSubstr(" " + modules.substr(1) + slot));
    EXPECT_THAT(contents.output, testing::Not(HasSubstr(nicSlot)));
}
