// The disk steps for real: the installer's discovery, preparation and post-install run as
// process 1 of the sandbox, on loop devices over image files (sparse where the geometry is
// big), with the boot image's own partitioning tool, mke2fs and bash. Afterwards the images
// are read with the sector-based sfdisk and debugfs, nothing mounted.
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t sector = 512;

struct Disk {
    std::string name;     // "sda"
    unsigned heads = 255; // as the boot image's tool will report them
    unsigned sectors = 63;
    uint64_t cylinders = 0;
};

class DiskRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    std::string image(const Disk& disk) {
        // A partial cylinder at the end, as real disks have.
        uint64_t sectors = disk.cylinders * disk.heads * disk.sectors + disk.sectors / 2;
        return images[disk.name] = scratch.image(disk.name + ".img", sectors * sector);
    }

    // Runs the scenario's steps in the sandbox with these disks; the console transcript.
    std::string run(const std::vector<Disk>& disks, const std::vector<std::string>& steps,
                    double seconds = 120) {
        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {DISK_SCENARIO};
        options.args = {DISK_SCENARIO};
        options.args.insert(options.args.end(), steps.begin(), steps.end());
        std::string geometry;
        for (const Disk& disk : disks) {
            if (!images.count(disk.name))
                image(disk);
            options.disks.push_back({disk.name, images[disk.name]});
            geometry += "/dev/" + disk.name + " " + std::to_string(disk.heads) + " " +
                        std::to_string(disk.sectors) + "\n";
        }
        options.copies = {{scratch.text("geometry", geometry), "/etc/sfdisk.geometry"}};
        Sandbox sandbox(options);
        if (!sandbox.start()) {
            ADD_FAILURE() << sandbox.error();
            return "";
        }
        bool ended = sandbox.wait(seconds);
        EXPECT_TRUE(ended) << sandbox.transcript();
        toolLog = sandbox.toolLog();
        std::string transcript = sandbox.transcript();
        EXPECT_TRUE(sandbox.stop()) << sandbox.error();
        return transcript;
    }

    // The table as the sector-based tool reads it from the image.
    std::string sectorTable(const std::string& name) {
        std::string command = "/usr/sbin/sfdisk -d '" + images[name] + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string text;
        char line[512];
        while (pipe && std::fgets(line, sizeof line, pipe)) {
            std::string entry = line;
            size_t colon = entry.find(" : ");
            if (colon != std::string::npos) // names the image file; keep only the entry
                text += entry.substr(colon + 3);
        }
        if (pipe)
            pclose(pipe);
        return text;
    }

    uint64_t partitionOffset(const std::string& name, int number) {
        uint64_t offset = 0, size = 0;
        EXPECT_TRUE(partitionExtent(images[name], number, offset, size));
        return offset;
    }

    std::string file(const std::string& name, int partition, const std::string& path) {
        std::string contents, error;
        if (!readExtFile(images[name], partitionOffset(name, partition), path, contents, &error))
            return "(missing: " + error + ")";
        return contents;
    }

    std::string debugfs(const std::string& name, int partition, const std::string& request) {
        std::string output, error;
        EXPECT_TRUE(
            debugfsRequest(images[name], partitionOffset(name, partition), request, output, &error))
            << error;
        return output;
    }

    bool hasJournal(const std::string& name, int partition) {
        return debugfs(name, partition, "stats").find("has_journal") != std::string::npos;
    }

    ScratchFiles scratch{"disk-run"};
    std::map<std::string, std::string> images;
    std::string toolLog;
};

// ---- discovery

TEST_F(DiskRun, GeometryListingOfRealDisksFillsTheTableInNameOrder) {
    std::string text =
        run({{"sdb", 16, 63, 100}, {"hda", 1, 63, 1024}, {"sda", 255, 63, 4865}}, {"list"});
    EXPECT_TRUE(contains(text, "/dev/hda 1024 32256 separate-boot ext2\n"
                               "/dev/sda 4865 8225280 separate-boot ext3\n"
                               "/dev/sdb 100 516096 one-partition ext3\n"))
        << text;
}

TEST_F(DiskRun, FiveDisksGiveFourRecordsAndTheFirstIsAnnouncedByItsLabel) {
    std::vector<Disk> disks;
    for (const char* name : {"hda", "hdb", "sda", "sdb", "sdc"})
        disks.push_back({name, 16, 63, 20});
    std::string text = run(disks, {"list", "find"});
    EXPECT_TRUE(contains(text, "/dev/hda 20 516096 one-partition ext2\n"
                               "/dev/hdb 20 516096 one-partition ext2\n"
                               "/dev/sda 20 516096 one-partition ext2\n"
                               "/dev/sdb 20 516096 one-partition ext2\n"))
        << text;
    EXPECT_FALSE(contains(text, "/dev/sdc")) << text;
    EXPECT_TRUE(contains(text, "\nLooking for harddrives...\n\nFound harddrive as IDE Primary "
                               "master (disk C)\nfindHardDisk=true\n"))
        << text;
}

TEST_F(DiskRun, DiskOutsideTheLabelTableIsAnnouncedByItsPathAndAColonIsOptional) {
    std::string text = run({}, {"fake-tool:/sbin/sfdisk:Disks:\\n"
                                "/dev/sdi 1000 cylinders, 16 heads, 63 sectors/track\\n",
                                "find"});
    EXPECT_TRUE(contains(text, "Found harddrive as /dev/sdi\nfindHardDisk=true\n"
                               "/dev/sdi 1000 516096 one-partition ext3\n"))
        << text;
}

TEST_F(DiskRun, DiskThatAppearsAfterSomeSecondsIsWaitedFor) {
    auto started = std::chrono::steady_clock::now();
    std::string text = run({{"sda", 16, 63, 20}}, {"late:/dev/sda:3", "find"});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(contains(text, "Looking for harddrives...")) << text;
    EXPECT_TRUE(contains(text, "...")) << "a dot per second while waiting: " << text;
    EXPECT_TRUE(contains(text, "Found harddrive as SATA 1\nfindHardDisk=true\n")) << text;
    EXPECT_GE(seconds, 3);
}

// Twenty passes without any disk are counted on the virtual clock (DiskSearch in disk_test); the
// installer itself waits the real twenty seconds in startup_sandbox_test.

// ---- preparation

TEST_F(DiskRun, SmallOnePartitionDiskGetsExt2AndClearsTheOldTablesExtraEntries) {
    Disk disk{"sda", 1, 63, 1000}; // 1000 cylinders of 31.5 KiB: below 40 MiB
    std::string path = image(disk);
    std::string old = "/usr/sbin/sfdisk -q '" + path +
                      "' >/dev/null 2>&1 <<'EOF'\nlabel: dos\n,5000\n,5000\n,5000\n,5000\nEOF";
    ASSERT_EQ(std::system(old.c_str()), 0);
    std::string text = run(
        {disk}, {"record-tool", "find", "bootcode", "prepare", "mounts", "show:/tmp/sfdisk.log"});
    EXPECT_TRUE(contains(text, "installBootCode=true\nCreating partition...")) << text;
    EXPECT_TRUE(contains(text, "Formatting disk...")) << text;
    EXPECT_TRUE(contains(text, "prepareDisk=true\nmounted /dev/sda1 /flash ext2\n")) << text;
    EXPECT_TRUE(contains(text, "--- /tmp/sfdisk.log\n"
                               "call: -g\n"
                               "call: -d -uC /dev/sda\n"
                               "call: -q -uC /dev/sda\n"
                               "input: 0,1000,83,*\n"
                               "input: 0,0,0\n"
                               "input: 0,0,0\n"
                               "input: 0,0,0\n"
                               "--- end\n"))
        << text;
    EXPECT_EQ(sectorTable("sda"), "start=          63, size=       62937, type=83, bootable\n");
    EXPECT_FALSE(hasJournal("sda", 1));
    EXPECT_EQ(file("sda", 1, "/etc/lilo.conf"), "boot=/dev/sda1\nmap=/boot/map\n"
                                                "install=/boot/boot.b\nlba32\n"
                                                "image=/boot/vmlinuz\n  label=System\n"
                                                "  root=/dev/sda1\n  read-only\n");
    EXPECT_EQ(file("sda", 1, "/etc/fstab"), "/dev/sda1  /     ext2 defaults 1 1\n"
                                            "none /proc proc defaults 0 0\n"
                                            "none /dev/pts devpts gid=5,mode=620 0 0\n");
    std::string root = debugfs("sda", 1, "ls -l /");
    EXPECT_FALSE(contains(root, ".nofsck")) << root;
    for (const char* directory : {" rw\n", " vela\n", " var\n", " etc\n"})
        EXPECT_TRUE(contains(root, directory)) << directory << root;
    EXPECT_TRUE(contains(debugfs("sda", 1, "ls -l /vela"), " etc\n"));
    EXPECT_TRUE(contains(debugfs("sda", 1, "ls -l /var"), " pdb\n"));
    EXPECT_TRUE(contains(debugfs("sda", 1, "stat /var/pdb"), "Mode:  0755"));
}

TEST_F(DiskRun, LargerOnePartitionDiskGetsExt3WithNoFsckMarker) {
    Disk disk{"hda", 16, 63, 1023}; // about 503 MiB, still one partition
    std::string text = run({disk}, {"find", "prepare", "mounts"});
    EXPECT_TRUE(contains(text, "Found harddrive as IDE Primary master (disk C)")) << text;
    EXPECT_TRUE(contains(text, "prepareDisk=true\nmounted /dev/hda1 /flash ext3\n")) << text;
    EXPECT_EQ(sectorTable("hda"), "start=          63, size=     1031121, type=83, bootable\n");
    EXPECT_TRUE(hasJournal("hda", 1));
    EXPECT_EQ(file("hda", 1, "/.nofsck"), "");
    EXPECT_EQ(file("hda", 1, "/etc/fstab").substr(0, 35), "/dev/hda1  /     ext3 defaults 1 1\n");
}

TEST_F(DiskRun, LargeDiskGetsABootPartitionOfTwoCylindersAndAJournaledSystem) {
    Disk disk{"sda", 255, 63, 4865}; // about 40 GB, sparse
    std::string text =
        run({disk}, {"record-tool", "find", "prepare", "mounts", "show:/tmp/sfdisk.log"}, 300);
    EXPECT_TRUE(contains(text, "prepareDisk=true\n"
                               "mounted /dev/sda2 /flash ext3\n"
                               "mounted /dev/sda1 /flash/boot ext2\n"))
        << text;
    EXPECT_TRUE(contains(text, "input: 0,2,83,*\ninput: 2,4863,83,-\n--- end\n")) << text;
    EXPECT_EQ(sectorTable("sda"), "start=          63, size=       32067, type=83, bootable\n"
                                  "start=       32130, size=    78124095, type=83\n");
    EXPECT_FALSE(hasJournal("sda", 1));
    EXPECT_TRUE(hasJournal("sda", 2));
    EXPECT_EQ(file("sda", 2, "/etc/fstab"), "/dev/sda2  /     ext3 defaults 1 1\n"
                                            "/dev/sda1  /boot ext2 defaults 1 2\n"
                                            "none /proc proc defaults 0 0\n"
                                            "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_TRUE(contains(file("sda", 2, "/etc/lilo.conf"), "boot=/dev/sda1\n"));
    EXPECT_TRUE(contains(file("sda", 2, "/etc/lilo.conf"), "  root=/dev/sda2\n"));
    EXPECT_EQ(file("sda", 2, "/.nofsck"), "");
}

TEST_F(DiskRun, SmallDiskWithManyCylindersGetsTwoExt2Partitions) {
    Disk disk{"sdb", 1, 63, 1024}; // 1024 cylinders but only 31.5 MiB
    std::string text = run({disk}, {"find", "prepare", "mounts"});
    EXPECT_TRUE(contains(text, "prepareDisk=true\n"
                               "mounted /dev/sdb2 /flash ext2\n"
                               "mounted /dev/sdb1 /flash/boot ext2\n"))
        << text;
    // 326 cylinders for the boot partition, the first of them the boot record's track.
    EXPECT_EQ(sectorTable("sdb"), "start=          63, size=       20475, type=83, bootable\n"
                                  "start=       20538, size=       43974, type=83\n");
    EXPECT_FALSE(hasJournal("sdb", 2));
    EXPECT_TRUE(contains(file("sdb", 2, "/etc/fstab"), "/dev/sdb2  /     ext2 defaults 1 1\n"));
    EXPECT_FALSE(contains(debugfs("sdb", 2, "ls -l /"), ".nofsck"));
}

TEST_F(DiskRun, ReinstallingOverAnInstalledSystemStartsAfresh) {
    // The second preparation finds the first one's table and file systems on the disk.
    std::string text =
        run({{"hdb", 16, 63, 1100}}, {"record-tool", "find", "prepare", "system", "finish",
                                      "prepare", "mounts", "show:/tmp/sfdisk.log"});
    EXPECT_TRUE(contains(text, "prepareDisk=true\nfinishInstall done\nCreating partition..."))
        << text;
    EXPECT_TRUE(contains(text, "prepareDisk=true\nmounted /dev/hdb2 /flash ext3\n"
                               "mounted /dev/hdb1 /flash/boot ext2\n"))
        << text;
    EXPECT_TRUE(contains(text, "input: 0,21,83,*\ninput: 21,1079,83,-\n"
                               "call: -d -uC /dev/hdb\ncall: -q -uC /dev/hdb\n"
                               "input: 0,21,83,*\ninput: 21,1079,83,-\n--- end\n"))
        << text;
    EXPECT_FALSE(contains(debugfs("hdb", 2, "ls -l /"), " bin\n")); // the staged system is gone
    EXPECT_TRUE(contains(file("hdb", 2, "/etc/lilo.conf"), "  root=/dev/hdb2\n"));
}

TEST_F(DiskRun, FailingMke2fsStopsThePreparation) {
    std::string text =
        run({{"sda", 16, 63, 100}}, {"failing-tool:/sbin/mke2fs", "find", "prepare", "mounts"});
    EXPECT_TRUE(contains(text, "ERROR: could not format partitions\nprepareDisk=false\n"
                               "nothing mounted at /flash\n"))
        << text;
}

TEST_F(DiskRun, PartitioningToolThatCannotStartStopsThePreparation) {
    std::string path = image({"sda", 16, 63, 100});
    std::string text = run({{"sda", 16, 63, 100}}, {"record:/dev/sda:100:16:63",
                                                    "no-tool:/sbin/sfdisk", "prepare", "mounts"});
    EXPECT_TRUE(contains(text, "ERROR: could not create partitions\nprepareDisk=false\n"
                               "nothing mounted at /flash\n"))
        << text;
    EXPECT_FALSE(contains(text, "Formatting disk")) << text;
}

TEST_F(DiskRun, DiskWithoutHeadsIsRefusedAndLeftUntouched) {
    Disk disk{"sda", 0, 63, 0};
    std::string path = image({"sda", 255, 63, 1100});
    std::string text = run({disk}, {"find", "bootcode", "prepare"});
    EXPECT_TRUE(contains(text, "/dev/sda 0 0 one-partition ext2\n")) << text;
    EXPECT_TRUE(contains(text, "ERROR: could not create partitions: the disk reports no heads or "
                               "no sectors per track\nprepareDisk=false\n"))
        << text;
    EXPECT_EQ(sectorTable("sda"), "");
}

// ---- kept configuration

// The manifests a run printed, in order.
std::vector<std::string> manifests(const std::string& text) {
    std::vector<std::string> found;
    for (size_t at = text.find("--- manifest "); at != std::string::npos;
         at = text.find("--- manifest ", at + 1)) {
        size_t start = text.find('\n', at) + 1;
        found.push_back(text.substr(start, text.find("--- end\n", start) - start));
    }
    return found;
}

std::string withoutLinkMarks(std::string text) {
    for (size_t at; (at = text.find(" (link)")) != std::string::npos;)
        text.erase(at, 7);
    return text;
}

// 100 cylinders of 504 KiB: one ext3 partition, reformatted between the two manifests.
const Disk keepDisk{"sda", 16, 63, 100};

TEST_F(DiskRun, KeptStoreComesBackIdenticalAfterTheReformat) {
    std::string text =
        run({keepDisk},
            {"find", "prepare", "store-full:/flash/vela/store", "store-small:/flash/rw/store",
             "store-small:/flash/gone", "manifest:/flash/vela/store", "unmount", "prepare-keep",
             "manifest:/flash/vela/store", "exists:/flash/vela/store/null",
             "exists:/flash/vela/store/fifo", "exists:/flash/rw/store", "exists:/flash/gone"});
    EXPECT_TRUE(contains(text, "Reading old configuration...")) << text;
    EXPECT_TRUE(contains(text, "Writing back old configuration...")) << text;
    EXPECT_FALSE(contains(text, "ERROR")) << text;
    EXPECT_TRUE(contains(text, "prepareDisk=true\n")) << text;
    std::vector<std::string> seen = manifests(text);
    ASSERT_EQ(seen.size(), 2u) << text;
    // Links come back as what they point to; nothing of the old system outside the store.
    EXPECT_TRUE(contains(seen[0], "./link-to-file file 644 1:2 size=17")) << seen[0];
    EXPECT_TRUE(contains(seen[0], "./link-to-dir dir 755 0:0")) << seen[0];
    EXPECT_TRUE(contains(seen[0], "./link-to-dir/network.conf file 644 1:2")) << seen[0];
    EXPECT_TRUE(contains(seen[0], "./empty dir 711 42:43 size=0 a=")) << seen[0];
    EXPECT_TRUE(contains(seen[0], "./shared/setuid file 4755 5:6")) << seen[0];
    EXPECT_TRUE(contains(seen[0], "./big.bin file 600 7:8 size=50000")) << seen[0];
    EXPECT_TRUE(contains(seen[0], "./" + std::string(240, 'n') + " file")) << seen[0];
    EXPECT_EQ(seen[1], withoutLinkMarks(seen[0]));
    EXPECT_TRUE(contains(text, "/flash/vela/store/null missing\n"
                               "/flash/vela/store/fifo missing\n"
                               "/flash/rw/store missing\n"
                               "/flash/gone missing\n"))
        << text;
}

TEST_F(DiskRun, StoreInTheOtherPlaceOfAThousandFilesComesBackToo) {
    auto started = std::chrono::steady_clock::now();
    std::string text =
        run({keepDisk},
            {"find", "prepare", "store-many:/flash/rw/store:1000", "manifest:/flash/rw/store",
             "unmount", "prepare-keep", "manifest:/flash/rw/store", "exists:/flash/vela/store"},
            300);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(contains(text, "prepareDisk=true\n")) << text;
    EXPECT_FALSE(contains(text, "ERROR")) << text;
    std::vector<std::string> seen = manifests(text);
    ASSERT_EQ(seen.size(), 2u) << text;
    EXPECT_EQ(std::count(seen[0].begin(), seen[0].end(), '\n'), 1 + 10 + 1000);
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_TRUE(contains(text, "/flash/vela/store missing\n")) << text;
    std::printf("[ measure ] a store of 1,000 files kept across the reformat: whole run %.1f s\n",
                seconds);
}

TEST_F(DiskRun, KeepingThatCannotReadTheStoreSaysSoAndTheInstallationGoesOn) {
    // A fresh disk: nothing to mount.
    std::string fresh = run({{"sdb", 16, 63, 100}}, {"find", "prepare-keep", "mounts"});
    EXPECT_TRUE(contains(fresh, "WARNING: couldn't keep config - couldn't mount file system\n"
                                "Creating partition..."))
        << fresh;
    EXPECT_TRUE(contains(fresh, "prepareDisk=true\nmounted /dev/sdb1 /flash ext3\n")) << fresh;

    // A directory link back up to the store would be read for ever.
    std::string loop = run({keepDisk}, {"find", "prepare", "store-loop:/flash/vela/store",
                                        "unmount", "prepare-keep", "exists:/flash/vela/store"});
    EXPECT_TRUE(contains(loop, "Reading old configuration...")) << loop;
    EXPECT_TRUE(contains(loop, "\nERROR: couldn't keep config - probably not enough memory\n"
                               "Creating partition..."))
        << loop;
    EXPECT_TRUE(contains(loop, "prepareDisk=true\n/flash/vela/store missing\n")) << loop;
    EXPECT_FALSE(contains(loop, "Writing back")) << loop;
}

TEST_F(DiskRun, StoreTooLargeForMemoryIsRefusedBeforeTheDiskChanges) {
    // 64 KiB available: the 50,000-byte file does not fit into half of it.
    std::string text =
        run({keepDisk}, {"find", "prepare", "store-full:/flash/vela/store", "unmount", "meminfo:64",
                         "prepare-keep", "exists:/flash/vela/store"});
    EXPECT_TRUE(contains(text, "\nERROR: couldn't keep config - probably not enough memory\n"
                               "Creating partition..."))
        << text;
    EXPECT_TRUE(contains(text, "prepareDisk=true\n/flash/vela/store missing\n")) << text;
}

TEST_F(DiskRun, StoreReadBeforeAFailedFormatIsLetGo) {
    // Under the leak checker of the sanitizer builds a store nobody freed is reported at exit.
    std::string text = run({keepDisk}, {"find", "prepare", "store-full:/flash/vela/store",
                                        "unmount", "failing-tool:/sbin/mke2fs", "prepare-keep"});
    EXPECT_TRUE(contains(text, "Reading old configuration...")) << text;
    EXPECT_TRUE(contains(text, "ERROR: could not format partitions\nprepareDisk=false\n"
                               "scenario done\n"))
        << text;
    EXPECT_FALSE(contains(text, "LeakSanitizer")) << text;
}

TEST_F(DiskRun, WriteBackDoesNotFollowALinkOutOfTheNewSystem) {
    std::string text =
        run({keepDisk}, {"find", "prepare", "store-small:/flash/vela/store", "unmount", "keep-read",
                         "prepare", "plant-link:/flash/vela:/outside", "keep-write",
                         "manifest:/outside", "exists:/outside/store"});
    EXPECT_TRUE(contains(text, "kept=yes\n")) << text;
    EXPECT_TRUE(contains(text, "ERROR: couldn't write old configuration - proboably not enough "
                               "space on the disk\nwriteBackConfiguration=false\n"))
        << text;
    EXPECT_TRUE(contains(text, "/outside/store missing\n")) << text;
}

// ---- post-install

TEST_F(DiskRun, OnePartitionSystemRunsItsPostinstallScriptAndIsCheckedAndUnmounted) {
    std::string text = run({{"sda", 16, 63, 200}},
                           {"find", "prepare", "system", "postinstall", "finish", "mounts"});
    EXPECT_TRUE(contains(text, "finishInstall done\nnothing mounted at /flash\n")) << text;
    EXPECT_TRUE(contains(text, "Checking disk integrity...")) << text;
    EXPECT_TRUE(contains(toolLog, "postinstall sees: /dev/sda1  /     ext3 defaults 1 1\n"))
        << toolLog;
    EXPECT_FALSE(contains(toolLog, "tavo ran")) << toolLog;
    EXPECT_TRUE(contains(toolLog, "fsck ran with: -d -v\n")) << toolLog;
}

TEST_F(DiskRun, TwoPartitionSystemWithoutScriptRunsTheLoaderInstallerAndIsNotChecked) {
    // 1,100 cylinders of 504 KiB: room for the small system the scenario puts on it.
    std::string text =
        run({{"sdb", 16, 63, 1100}}, {"find", "prepare", "system", "finish", "mounts"});
    EXPECT_TRUE(contains(text, "finishInstall done\nnothing mounted at /flash\n")) << text;
    EXPECT_FALSE(contains(text, "Checking disk integrity")) << text;
    EXPECT_TRUE(contains(toolLog, "tavo ran as /bin/tavo with: tavo\n")) << toolLog;
    EXPECT_FALSE(contains(toolLog, "fsck ran")) << toolLog;
}

} // namespace
