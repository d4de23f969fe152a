// The boot code under a real BIOS: disks carrying our boot record are booted in a virtual
// machine (SeaBIOS, software emulation). SeaBIOS copies its text screen to the serial port, so
// the boot code's messages arrive there; the test partition's boot sector reports on the serial
// port too and ends the machine. Each run stops as soon as the awaited text has arrived.
#include "disk/boot_record.h"
#include "testbed/ext_files.h"
#include "testbed/partition_boot_sector.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace installer;

namespace {

constexpr const char* qemu = "/usr/bin/qemu-system-i386";

struct Chs {
    unsigned cylinders, heads, sectors;
};

struct Entry {
    unsigned char mark = 0;
    uint32_t start = 0, size = 0;
};

void putChs(unsigned char* at, uint32_t lba, const Chs& g) {
    unsigned cylinder = lba / (g.heads * g.sectors);
    at[0] = static_cast<unsigned char>(lba / g.sectors % g.heads);
    at[1] = static_cast<unsigned char>((lba % g.sectors + 1) | ((cylinder >> 2) & 0xc0));
    at[2] = static_cast<unsigned char>(cylinder);
}

class BootCode : public testing::Test {
protected:
    void SetUp() override {
        if (access(qemu, X_OK) != 0)
            GTEST_SKIP() << "needs " << qemu;
    }

    // A disk of the small geometry with the given table and signature, our boot code put in
    // front by installBootCode, and the test boot sector at the start of every used entry.
    std::string disk(const std::string& name, const std::vector<Entry>& entries,
                     bool partitionSignature = true) {
        std::string path =
            files.image(name, off_t{small.cylinders} * small.heads * small.sectors * 512);
        int fd = open(path.c_str(), O_RDWR);
        unsigned char sector[512]{};
        for (size_t i = 0; i < entries.size(); ++i) {
            unsigned char* entry = sector + 446 + 16 * i;
            entry[0] = entries[i].mark;
            if (entries[i].size == 0)
                continue;
            putChs(entry + 1, entries[i].start, small);
            entry[4] = 0x83;
            putChs(entry + 5, entries[i].start + entries[i].size - 1, small);
            std::memcpy(entry + 8, &entries[i].start, 4);
            std::memcpy(entry + 12, &entries[i].size, 4);
            unsigned char boot[512];
            std::memcpy(boot, partitionBootSector, 512);
            if (!partitionSignature)
                boot[510] = boot[511] = 0;
            EXPECT_EQ(pwrite(fd, boot, 512, off_t{entries[i].start} * 512), 512);
        }
        sector[510] = 0x55;
        sector[511] = 0xaa;
        EXPECT_EQ(pwrite(fd, sector, 512, 0), 512);
        close(fd);
        EXPECT_TRUE(installBootCode(path.c_str()));
        return path;
    }

    // Boots image with the BIOS seeing geometry g (or translating it, with g.heads 0) until the
    // serial port has shown awaited or a minute has passed; it must then not show absent.
    void expectBoot(const std::string& image, const std::string& awaited, const char* absent,
                    const Chs& g) {
        std::string serial = files.add("serial.txt");
        std::string port = files.text("sercon-port", std::string("\xf8\x03", 2)); // COM1
        unlink(serial.c_str());
        std::string drive = "file=" + image + ",format=raw,if=none,id=disk";
        std::string device = g.heads
                                 ? "ide-hd,drive=disk,cyls=" + std::to_string(g.cylinders) +
                                       ",heads=" + std::to_string(g.heads) +
                                       ",secs=" + std::to_string(g.sectors) + ",bios-chs-trans=none"
                                 : "ide-hd,drive=disk,bios-chs-trans=lba";
        std::string serialTarget = "file:" + serial;
        std::string sercon = "name=etc/sercon-port,file=" + port;
        pid_t machine = fork();
        if (machine == 0) {
            int null = open("/dev/null", O_RDWR);
            for (int fd : {0, 1, 2})
                dup2(null, fd);
            execl(qemu, qemu, "-M", "pc", "-m", "16", "-nodefaults", "-display", "none",
                  "-no-reboot", "-drive", drive.c_str(), "-device", device.c_str(), "-serial",
                  serialTarget.c_str(), "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
                  "-fw_cfg", sercon.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool ended = false;
        while (!ended && std::chrono::steady_clock::now() < deadline &&
               fileContents(serial).find(awaited) == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ended = waitpid(machine, nullptr, WNOHANG) == machine;
        }
        if (!ended) {
            kill(machine, SIGKILL);
            waitpid(machine, nullptr, 0);
        }
        std::string shown = fileContents(serial);
        EXPECT_NE(shown.find(awaited), std::string::npos) << shown;
        EXPECT_EQ(absent ? shown.find(absent) : std::string::npos, std::string::npos) << shown;
    }

    // Test cases run side by side as separate processes: each has files of its own.
    ScratchFiles files{"bootvm"};
    const Chs small{20, 16, 63}; // 10 MiB, exactly as the BIOS sees it
};

constexpr const char* reached = "partition boot sector reached from entry ";
constexpr const char* missing = "Missing operating system";

TEST_F(BootCode, ActivePartitionIsLoadedAndEntered) {
    // Entry 1 empty, entry 2 active from cylinder 1: the active one is found, whatever its place.
    expectBoot(disk("active.img", {{}, {0x80, 16 * 63, 5 * 16 * 63}}), std::string(reached) + "2\n",
               "operating system", small);
}

TEST_F(BootCode, EntryMarkedNeitherActiveNorEmptyIsAMissingSystem) {
    expectBoot(disk("badmark.img", {{0x7f, 63, 100}, {0x80, 16 * 63, 1000}}), missing, reached,
               small);
}

TEST_F(BootCode, PartitionSectorWithoutSignatureIsAMissingSystem) {
    expectBoot(disk("nosignature.img", {{0x80, 63, 1000}}, false), missing, reached, small);
}

TEST_F(BootCode, UnreadablePartitionIsAnErrorLoadingIt) {
    // The entry's cylinder lies far beyond the 20 the BIOS knows: every read attempt fails.
    std::string image = disk("unreadable.img", {});
    int fd = open(image.c_str(), O_RDWR);
    unsigned char entry[16]{0x80};
    putChs(entry + 1, 500 * 16 * 63, Chs{600, 16, 63});
    ASSERT_EQ(pwrite(fd, entry, sizeof entry, 446), 16);
    close(fd);
    expectBoot(image, "Error loading operating system", nullptr, small);
}

TEST_F(BootCode, TableWithoutAnyEntryHandsBackToTheBios) {
    expectBoot(disk("empty.img", {}), "No bootable device", "operating system", small);
}

// The whole chain: discovery, boot code and partitioning as the installer does them in the
// sandbox, then a BIOS boots the disk's partition 1.
class PreparedDisk : public BootCode {
protected:
    void SetUp() override {
        BootCode::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }
    // Prepares a disk of the given geometry as hda; the image, with the test boot sector
    // where the boot loader would go (partition 1's first sector).
    std::string prepare(const Chs& g) {
        std::string image =
            files.image("prepared.img", off_t{g.cylinders} * g.heads * g.sectors * 512);
        std::string overrides = files.text("geometry", "/dev/hda " + std::to_string(g.heads) + " " +
                                                           std::to_string(g.sectors) + "\n");

        SandboxOptions options;
        options.program = DISK_INIT;
        options.hostPrograms = {DISK_SCENARIO};
        options.args = {DISK_SCENARIO, "find", "bootcode", "prepare"};
        options.disks = {{"hda", image}};
        options.copies = {{overrides, "/etc/sfdisk.geometry"}};
        Sandbox sandbox(options);
        EXPECT_TRUE(sandbox.start()) << sandbox.error();
        EXPECT_TRUE(sandbox.wait(300)) << sandbox.transcript();
        EXPECT_NE(sandbox.transcript().find("prepareDisk=true"), std::string::npos)
            << sandbox.transcript();
        sandbox.stop();

        uint64_t offset = 0, size = 0;
        EXPECT_TRUE(partitionExtent(image, 1, offset, size));
        EXPECT_EQ(offset, uint64_t{g.sectors} * 512);
        int fd = open(image.c_str(), O_RDWR);
        EXPECT_EQ(pwrite(fd, partitionBootSector, 512, static_cast<off_t>(offset)), 512);
        close(fd);
        return image;
    }
};

TEST_F(PreparedDisk, SmallDiskBootsItsFirstPartitionUnderTheSameGeometry) {
    const Chs geometry{1024, 1, 63}; // two partitions, the first after the boot record's track
    expectBoot(prepare(geometry), std::string(reached) + "1\n", nullptr, geometry);
}

TEST_F(PreparedDisk, LargeDiskBootsItsFirstPartitionThroughTheBiosTranslation) {
    // About 40 GB, sparse: the BIOS translates it to the 255 heads and 63 sectors that the
    // partitioning tool assumes for a disk whose driver reports no geometry.
    expectBoot(prepare({4865, 255, 63}), std::string(reached) + "1\n", nullptr, {0, 0, 0});
}

} // namespace
