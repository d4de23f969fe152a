// The boot record on an image file: what installBootCode changes and what it must leave alone.
// The boot code's behaviour under a BIOS is proven in boot_code_test.cpp.
#include "disk/boot_record.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace installer;

namespace {

class DiskImage : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/disk-mbr-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    void TearDown() override { std::filesystem::remove(path); }

    void write(const std::vector<unsigned char>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<unsigned char> read() {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }

    std::string path;
};

std::vector<unsigned char> oldDisk() {
    // An old boot loader, a table of four used entries and the signature, then data.
    std::vector<unsigned char> disk(4096);
    for (size_t i = 0; i < disk.size(); ++i)
        disk[i] = static_cast<unsigned char>(i * 7 + 1);
    disk[510] = 0x55;
    disk[511] = 0xaa;
    return disk;
}

TEST_F(DiskImage, BootCodeReplacesTheOldLoaderAndKeepsTableAndSignature) {
    std::vector<unsigned char> before = oldDisk();
    write(before);
    ASSERT_TRUE(installBootCode(path.c_str()));
    std::vector<unsigned char> after = read();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(std::memcmp(after.data(), bootCode, 184), 0);
    EXPECT_EQ(std::vector<unsigned char>(after.begin() + 184, after.begin() + 446),
              std::vector<unsigned char>(262, 0));
    EXPECT_TRUE(std::equal(after.begin() + 446, after.end(), before.begin() + 446));
}

TEST_F(DiskImage, ShortDiskIsReportedAndLeftUntouched) {
    std::vector<unsigned char> before(100, 0x5a);
    write(before);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(installBootCode(path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not read MBR: Input/output error\n");
    EXPECT_EQ(read(), before);
}

TEST_F(DiskImage, MissingDeviceIsReported) {
    unsigned char sector[512]{};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(readBootRecord("/dev/no-such-disk", sector));
    EXPECT_FALSE(writeBootRecord("/dev/no-such-disk", sector));
    EXPECT_FALSE(installBootCode("/dev/no-such-disk"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "could not open MBR: No such file or directory\n"
              "could not open MBR: No such file or directory\n"
              "could not open MBR: No such file or directory\n");
}

} // namespace
