// The boot image's sfdisk on real loop devices in the sandbox, driven from its shell exactly as
// the installer calls it; the image is checked afterwards byte by byte.
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

class SfdiskRun : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the sandbox needs root";
    }

    std::string image(const std::string& name, uint64_t sectors) {
        return scratch.image(name + ".img", sectors * 512);
    }

    std::string run(const std::vector<SandboxDisk>& disks, const std::string& geometry,
                    const std::string& script) {
        std::string overrides = scratch.text("geometry", geometry);
        SandboxOptions options;
        options.program = DISK_INIT;
        options.args = {"/bin/bash", "-c", script};
        options.disks = disks;
        options.copies = {{overrides, "/etc/sfdisk.geometry"}};
        Sandbox sandbox(options);
        if (!sandbox.start())
            return "not started: " + sandbox.error();
        EXPECT_TRUE(sandbox.wait(60)) << sandbox.transcript();
        return sandbox.transcript();
    }

    std::vector<unsigned char> firstSector(const std::string& path) {
        std::vector<unsigned char> sector(512);
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(sector.data()), 512);
        return sector;
    }
    void setFirstSector(const std::string& path, const std::vector<unsigned char>& sector) {
        int fd = open(path.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, sector.data(), 512, 0), 512);
        close(fd);
    }

    ScratchFiles scratch{"sfdisk-run"};
};

TEST_F(SfdiskRun, GeometryListingShowsEveryDiskWithOverriddenOrDefaultGeometry) {
    std::string big = image("big", 4865ull * 255 * 63 + 100), small = image("small", 1024 * 63);
    std::string text = run({{"sdb", big}, {"hdc", small}}, "/dev/hdc 1 63\n", "sfdisk -g");
    EXPECT_EQ(text, "/dev/hdc: 1024 cylinders, 1 heads, 63 sectors/track\n"
                    "/dev/sdb: 4865 cylinders, 255 heads, 63 sectors/track\n");
}

TEST_F(SfdiskRun, CylinderTableIsWrittenBehindTheBootCodeAndTheKernelSeesItsPartitions) {
    std::string disk = image("table", 1024 * 63);
    // Boot code in front, as the installer leaves it before partitioning.
    std::vector<unsigned char> bootCode(512, 0);
    for (int i = 0; i < 446; ++i)
        bootCode[i] = static_cast<unsigned char>(i * 13 + 5);
    setFirstSector(disk, bootCode);

    std::string text = run({{"sda", disk}}, "/dev/sda 1 63\n",
                           "printf '0,326,83,*\\n326,698,83,-\\n0,0,0\\n0,0,0\\n' |"
                           " sfdisk -q -uC /dev/sda; echo \"write=$?\"\n"
                           "for node in /dev/sda?*; do [ -b $node ] && echo \"node $node\"; done\n"
                           "sfdisk -d -uC /dev/sda");
    EXPECT_EQ(text, "write=0\n"
                    "node /dev/sda1\n"
                    "node /dev/sda2\n"
                    "# partition table of /dev/sda\n"
                    "unit: cylinders\n"
                    "\n"
                    "/dev/sda1 : start=     0, size=   326, Id=83, bootable\n"
                    "/dev/sda2 : start=   326, size=   698, Id=83\n");

    std::vector<unsigned char> sector = firstSector(disk);
    EXPECT_TRUE(std::equal(bootCode.begin(), bootCode.begin() + 446, sector.begin()));
    // Entry 1: active, from cylinder 1 head 0 sector 1 (after the first track, which is all of
    // cylinder 0 on a single head) to cylinder 325 head 0 sector 63, type 83, LBA 63 + 20475.
    const unsigned char entry1[16] = {0x80,       0,  1, 1, 0x83, 0,    63 | ((325 >> 2) & 0xc0),
                                      325 & 0xff, 63, 0, 0, 0,    0xfb, 0x4f,
                                      0,          0};
    EXPECT_EQ(std::memcmp(sector.data() + 446, entry1, 16), 0);
    // Entry 2 from cylinder 326 to past cylinder 1023: the largest address that fits.
    const unsigned char entry2[8] = {0,    0,   1 | ((326 >> 2) & 0xc0), 326 & 0xff, 0x83, 0,
                                     0xff, 0xff};
    EXPECT_EQ(std::memcmp(sector.data() + 462, entry2, 8), 0);
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(sector[511], 0xaa);
}

TEST_F(SfdiskRun, SmallerTableRemovesPartitionsAndNodesThatAreGone) {
    std::string disk = image("shrink", 100 * 16 * 63);
    std::string text = run({{"sda", disk}}, "/dev/sda 16 63\n",
                           "printf '0,10,83,*\\n10,90,83,-\\n' | sfdisk -q -uC /dev/sda\n"
                           "printf '0,100,83,*\\n0,0,0\\n' | sfdisk -q -uC /dev/sda\n"
                           "for node in /dev/sda?*; do [ -b $node ] && echo \"node $node\"; done");
    EXPECT_EQ(text, "node /dev/sda1\n");
}

TEST_F(SfdiskRun, TableThatDoesNotFitIsRefusedAndTheDiskKeepsItsOldOne) {
    // sfdisk gives up on a missing device before reading its table, so the feeding printf may
    // meet a closed pipe: its complaint is not part of what is compared.
    std::string disk = image("refuse", 100 * 16 * 63);
    std::string text =
        run({{"sda", disk}}, "/dev/sda 16 63\n",
            "printf '0,100,83,*\\n' | sfdisk -q -uC /dev/sda\n"
            "printf '0,50,83,*\\n50,51,83,-\\n' | sfdisk -q -uC /dev/sda;"
            " echo \"write=$?\"\n"
            "printf '0,0,0\\n0,0,0\\n' 2>/dev/null | sfdisk -q -uC /dev/hda; echo \"write=$?\"\n"
            "sfdisk -x; echo \"usage=$?\"\n"
            "sfdisk -d -uC /dev/sda");
    EXPECT_EQ(text, "sfdisk: line 2: partition ends beyond cylinder 100\n"
                    "write=1\n"
                    "sfdisk: cannot open /dev/hda: No such file or directory\n"
                    "write=1\n"
                    "usage: sfdisk -g\n"
                    "       sfdisk -d -uC DEVICE\n"
                    "       sfdisk -q -uC DEVICE < table\n"
                    "usage=2\n"
                    "# partition table of /dev/sda\n"
                    "unit: cylinders\n"
                    "\n"
                    "/dev/sda1 : start=     0, size=   100, Id=83, bootable\n");
}

} // namespace
