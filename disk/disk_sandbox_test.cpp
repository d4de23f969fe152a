// The disk steps for real: the installer's discovery, preparation and post-install run as
// process 1 of the sandbox, on loop devices over image files (sparse where the geometry is
// big), with the boot image's own partitioning tool, mke2fs and bash. Afterwards the images
// are read with the sector-based sfdisk and debugfs, nothing mounted.
#include "testbed/ext_files.h"
#include "testbed/sandbox.h"
#include "testbed/support/command_output.h"
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
#include <sstream>
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
        std::istringstream dump(
            runCommand("/usr/sbin/sfdisk -d '" + images[name] + "' 2>&1").output);
        std::string text;
        for (std::string entry; std::getline(dump, entry);)
            if (size_t colon = entry.find(" : "); colon != std::string::npos)
                text += entry.substr(colon + 3) + "\n"; // names the image file; keep the entry
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

// Each of `parts` is in `text`, and none of `absent`.
testing::AssertionResult has(const std::string& text, const std::vector<std::string>& parts,
                             const std::vector<std::string>& absent = {}) {
    for (const std::string& part : parts)
        if (!contains(text, part))
            return testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
    for (const std::string& part : absent)
        if (contains(text, part))
            return testing::AssertionFailure() << "\"" << part << "\" in:\n" << text;
    return testing::AssertionSuccess();
}

// 100 cylinders of 504 KiB: one ext3 partition, reformatted between the two manifests.
const Disk keepDisk{"sda", 16, 63, 100};

// Runs whose console (and the log of the boot image's tools) tell all there is to check.
struct ConsoleCase {
    const char* name;
    std::vector<Disk> disks;
    std::vector<std::string> steps, console, notOnConsole = {}, tools = {}, notInTools = {};
};

// Named by its case in test listings, not dumped byte by byte.
void PrintTo(const ConsoleCase& c, std::ostream* out) {
    *out << c.name;
}

const ConsoleCase consoleCases[] = {
    // ---- discovery
    {"GeometryListingOfRealDisksFillsTheTableInNameOrder",
     {{"sdb", 16, 63, 100}, {"hda", 1, 63, 1024}, {"sda", 255, 63, 4865}},
     {"list"},
     {"/dev/hda 1024 32256 separate-boot ext2\n/dev/sda 4865 8225280 separate-boot ext3\n"
      "/dev/sdb 100 516096 one-partition ext3\n"}},
    {"FiveDisksGiveFourRecordsAndTheFirstIsAnnouncedByItsLabel",
     {{"hda", 16, 63, 20},
      {"hdb", 16, 63, 20},
      {"sda", 16, 63, 20},
      {"sdb", 16, 63, 20},
      {"sdc", 16, 63, 20}},
     {"list", "find"},
     {"/dev/hda 20 516096 one-partition ext2\n/dev/hdb 20 516096 one-partition ext2\n"
      "/dev/sda 20 516096 one-partition ext2\n/dev/sdb 20 516096 one-partition ext2\n",
      "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
      "findHardDisk=true\n"},
     {"/dev/sdc"}},
    {"DiskOutsideTheLabelTableIsAnnouncedByItsPathAndAColonIsOptional",
     {},
     {"fake-tool:/sbin/sfdisk:Disks:\\n/dev/sdi 1000 cylinders, 16 heads, 63 sectors/track\\n",
      "find"},
     {"Found harddrive as /dev/sdi\nfindHardDisk=true\n/dev/sdi 1000 516096 one-partition "
      "ext3\n"}},
    // ---- preparation
    {"FailingMke2fsStopsThePreparation",
     {{"sda", 16, 63, 100}},
     {"failing-tool:/sbin/mke2fs", "find", "prepare", "mounts"},
     {"ERROR: could not format partitions\nprepareDisk=false\nnothing mounted at /flash\n"}},
    {"PartitioningToolThatCannotStartStopsThePreparation",
     {{"sda", 16, 63, 100}},
     {"record:/dev/sda:100:16:63", "no-tool:/sbin/sfdisk", "prepare", "mounts"},
     {"ERROR: could not create partitions\nprepareDisk=false\nnothing mounted at /flash\n"},
     {"Formatting disk"}},
    // ---- kept configuration
    {"KeepingOnAFreshDiskSaysItCannotMountAndTheInstallationGoesOn",
     {{"sdb", 16, 63, 100}},
     {"find", "prepare-keep", "mounts"},
     {"WARNING: couldn't keep config - couldn't mount file system\nCreating partition...",
      "prepareDisk=true\nmounted /dev/sdb1 /flash ext3\n"}},
    // A directory link back up to the store would be read for ever.
    {"KeepingAStoreWithALinkLoopSaysSoAndTheInstallationGoesOn",
     {keepDisk},
     {"find", "prepare", "store-loop:/flash/vela/store", "unmount", "prepare-keep",
      "exists:/flash/vela/store"},
     {"Reading old configuration...",
      "\nERROR: couldn't keep config - probably not enough memory\nCreating partition...",
      "prepareDisk=true\n/flash/vela/store missing\n"},
     {"Writing back"}},
    // 64 KiB available: the 50,000-byte file does not fit into half of it.
    {"StoreTooLargeForMemoryIsRefusedBeforeTheDiskChanges",
     {keepDisk},
     {"find", "prepare", "store-full:/flash/vela/store", "unmount", "meminfo:64", "prepare-keep",
      "exists:/flash/vela/store"},
     {"\nERROR: couldn't keep config - probably not enough memory\nCreating partition...",
      "prepareDisk=true\n/flash/vela/store missing\n"}},
    // Under the leak checker of the sanitizer builds a store nobody freed is reported at exit.
    {"StoreReadBeforeAFailedFormatIsLetGo",
     {keepDisk},
     {"find", "prepare", "store-full:/flash/vela/store", "unmount", "failing-tool:/sbin/mke2fs",
      "prepare-keep"},
     {"Reading old configuration...",
      "ERROR: could not format partitions\nprepareDisk=false\nscenario done\n"},
     {"LeakSanitizer"}},
    {"WriteBackDoesNotFollowALinkOutOfTheNewSystem",
     {keepDisk},
     {"find", "prepare", "store-small:/flash/vela/store", "unmount", "keep-read", "prepare",
      "plant-link:/flash/vela:/outside", "keep-write", "manifest:/outside",
      "exists:/outside/store"},
     {"kept=yes\n",
      "ERROR: couldn't write old configuration - proboably not enough space on the disk\n"
      "writeBackConfiguration=false\n",
      "/outside/store missing\n"}},
    // ---- post-install
    {"OnePartitionSystemRunsItsPostinstallScriptAndIsCheckedAndUnmounted",
     {{"sda", 16, 63, 200}},
     {"find", "prepare", "system", "postinstall", "finish", "mounts"},
     {"finishInstall done\nnothing mounted at /flash\n", "Checking disk integrity..."},
     {},
     {"postinstall sees: /dev/sda1  /     ext3 defaults 1 1\n", "fsck ran with: -d -v\n"},
     {"tavo ran"}},
    // 1,100 cylinders of 504 KiB: room for the small system the scenario puts on it.
    {"TwoPartitionSystemWithoutScriptRunsTheLoaderInstallerAndIsNotChecked",
     {{"sdb", 16, 63, 1100}},
     {"find", "prepare", "system", "finish", "mounts"},
     {"finishInstall done\nnothing mounted at /flash\n"},
     {"Checking disk integrity"},
     {"tavo ran as /bin/tavo with: tavo\n"},
     {"fsck ran"}},
};

class DiskConsole : public DiskRun, public testing::WithParamInterface<ConsoleCase> {};

TEST_P(DiskConsole, Run) {
    const ConsoleCase& c = GetParam();
    EXPECT_TRUE(has(run(c.disks, c.steps), c.console, c.notOnConsole));
    EXPECT_TRUE(has(toolLog, c.tools, c.notInTools));
}

INSTANTIATE_TEST_SUITE_P(DiskRun, DiskConsole, testing::ValuesIn(consoleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiskRun, DiskThatAppearsAfterSomeSecondsIsWaitedFor) {
    auto started = std::chrono::steady_clock::now();
    std::string text = run({{"sda", 16, 63, 20}}, {"late:/dev/sda:3", "find"});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // A dot per second while waiting.
    EXPECT_TRUE(has(text, {"Looking for harddrives...", "...",
                           "Found harddrive as SATA 1\nfindHardDisk=true\n"}));
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
    EXPECT_TRUE(has(text, {"installBootCode=true\nCreating partition...", "Formatting disk...",
                           "prepareDisk=true\nmounted /dev/sda1 /flash ext2\n",
                           "--- /tmp/sfdisk.log\ncall: -g\ncall: -d -uC /dev/sda\n"
                           "call: -q -uC /dev/sda\ninput: 0,1000,83,*\ninput: 0,0,0\n"
                           "input: 0,0,0\ninput: 0,0,0\n--- end\n"}));
    EXPECT_EQ(sectorTable("sda"), "start=          63, size=       62937, type=83, bootable\n");
    EXPECT_FALSE(hasJournal("sda", 1));
    EXPECT_EQ(file("sda", 1, "/etc/lilo.conf"), "boot=/dev/sda1\nmap=/boot/map\n"
                                                "install=/boot/boot.b\nlba32\n"
                                                "image=/boot/vmlinuz\n  label=System\n"
                                                "  root=/dev/sda1\n  read-only\n");
    EXPECT_EQ(file("sda", 1, "/etc/fstab"), "/dev/sda1  /     ext2 defaults 1 1\n"
                                            "none /proc proc defaults 0 0\n"
                                            "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_TRUE(
        has(debugfs("sda", 1, "ls -l /"), {" rw\n", " vela\n", " var\n", " etc\n"}, {".nofsck"}));
    EXPECT_TRUE(contains(debugfs("sda", 1, "ls -l /vela"), " etc\n"));
    EXPECT_TRUE(contains(debugfs("sda", 1, "ls -l /var"), " pdb\n"));
    EXPECT_TRUE(contains(debugfs("sda", 1, "stat /var/pdb"), "Mode:  0755"));
}

TEST_F(DiskRun, LargerOnePartitionDiskGetsExt3WithNoFsckMarker) {
    Disk disk{"hda", 16, 63, 1023}; // about 503 MiB, still one partition
    std::string text = run({disk}, {"find", "prepare", "mounts"});
    EXPECT_TRUE(has(text, {"Found harddrive as IDE Primary master (disk C)",
                           "prepareDisk=true\nmounted /dev/hda1 /flash ext3\n"}));
    EXPECT_EQ(sectorTable("hda"), "start=          63, size=     1031121, type=83, bootable\n");
    EXPECT_TRUE(hasJournal("hda", 1));
    EXPECT_EQ(file("hda", 1, "/.nofsck"), "");
    EXPECT_EQ(file("hda", 1, "/etc/fstab").substr(0, 35), "/dev/hda1  /     ext3 defaults 1 1\n");
}

TEST_F(DiskRun, LargeDiskGetsABootPartitionOfTwoCylindersAndAJournaledSystem) {
    Disk disk{"sda", 255, 63, 4865}; // about 40 GB, sparse
    std::string text =
        run({disk}, {"record-tool", "find", "prepare", "mounts", "show:/tmp/sfdisk.log"}, 300);
    EXPECT_TRUE(has(text, {"prepareDisk=true\nmounted /dev/sda2 /flash ext3\n"
                           "mounted /dev/sda1 /flash/boot ext2\n",
                           "input: 0,2,83,*\ninput: 2,4863,83,-\n--- end\n"}));
    EXPECT_EQ(sectorTable("sda"), "start=          63, size=       32067, type=83, bootable\n"
                                  "start=       32130, size=    78124095, type=83\n");
    EXPECT_FALSE(hasJournal("sda", 1));
    EXPECT_TRUE(hasJournal("sda", 2));
    EXPECT_EQ(file("sda", 2, "/etc/fstab"), "/dev/sda2  /     ext3 defaults 1 1\n"
                                            "/dev/sda1  /boot ext2 defaults 1 2\n"
                                            "none /proc proc defaults 0 0\n"
                                            "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_TRUE(has(file("sda", 2, "/etc/lilo.conf"), {"boot=/dev/sda1\n", "  root=/dev/sda2\n"}));
    EXPECT_EQ(file("sda", 2, "/.nofsck"), "");
}

TEST_F(DiskRun, SmallDiskWithManyCylindersGetsTwoExt2Partitions) {
    Disk disk{"sdb", 1, 63, 1024}; // 1024 cylinders but only 31.5 MiB
    std::string text = run({disk}, {"find", "prepare", "mounts"});
    EXPECT_TRUE(has(text, {"prepareDisk=true\nmounted /dev/sdb2 /flash ext2\n"
                           "mounted /dev/sdb1 /flash/boot ext2\n"}));
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
    EXPECT_TRUE(has(text, {"prepareDisk=true\nfinishInstall done\nCreating partition...",
                           "prepareDisk=true\nmounted /dev/hdb2 /flash ext3\n"
                           "mounted /dev/hdb1 /flash/boot ext2\n",
                           "input: 0,21,83,*\ninput: 21,1079,83,-\ncall: -d -uC /dev/hdb\n"
                           "call: -q -uC /dev/hdb\ninput: 0,21,83,*\ninput: 21,1079,83,-\n"
                           "--- end\n"}));
    EXPECT_FALSE(contains(debugfs("hdb", 2, "ls -l /"), " bin\n")); // the staged system is gone
    EXPECT_TRUE(contains(file("hdb", 2, "/etc/lilo.conf"), "  root=/dev/hdb2\n"));
}

TEST_F(DiskRun, DiskWithoutHeadsIsRefusedAndLeftUntouched) {
    image({"sda", 255, 63, 1100});
    std::string text = run({{"sda", 0, 63, 0}}, {"find", "bootcode", "prepare"});
    EXPECT_TRUE(has(text, {"/dev/sda 0 0 one-partition ext2\n",
                           "ERROR: could not create partitions: the disk reports no heads or "
                           "no sectors per track\nprepareDisk=false\n"}));
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

TEST_F(DiskRun, KeptStoreComesBackIdenticalAfterTheReformat) {
    std::string text =
        run({keepDisk},
            {"find", "prepare", "store-full:/flash/vela/store", "store-small:/flash/rw/store",
             "store-small:/flash/gone", "manifest:/flash/vela/store", "unmount", "prepare-keep",
             "manifest:/flash/vela/store", "exists:/flash/vela/store/null",
             "exists:/flash/vela/store/fifo", "exists:/flash/rw/store", "exists:/flash/gone"});
    EXPECT_TRUE(has(text,
                    {"Reading old configuration...", "Writing back old configuration...",
                     "prepareDisk=true\n",
                     "/flash/vela/store/null missing\n/flash/vela/store/fifo missing\n"
                     "/flash/rw/store missing\n/flash/gone missing\n"},
                    {"ERROR"}));
    std::vector<std::string> seen = manifests(text);
    ASSERT_EQ(seen.size(), 2u) << text;
    // Links come back as what they point to; nothing of the old system outside the store.
    EXPECT_TRUE(has(seen[0],
                    {"./link-to-file file 644 1:2 size=17", "./link-to-dir dir 755 0:0",
                     "./link-to-dir/network.conf file 644 1:2",
                     "./empty dir 711 42:43 size=0 a=", "./shared/setuid file 4755 5:6",
                     "./big.bin file 600 7:8 size=50000", "./" + std::string(240, 'n') + " file"}));
    EXPECT_EQ(seen[1], withoutLinkMarks(seen[0]));
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
    EXPECT_TRUE(has(text, {"prepareDisk=true\n", "/flash/vela/store missing\n"}, {"ERROR"}));
    std::vector<std::string> seen = manifests(text);
    ASSERT_EQ(seen.size(), 2u) << text;
    EXPECT_EQ(std::count(seen[0].begin(), seen[0].end(), '\n'), 1 + 10 + 1000);
    EXPECT_EQ(seen[1], seen[0]);
    std::printf("[ measure ] a store of 1,000 files kept across the reformat: whole run %.1f s\n",
                seconds);
}

} // namespace
