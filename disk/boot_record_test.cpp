// The boot record on an image file: what installBootCode changes and what it must leave alone.
// The boot code's behaviour under a BIOS is proven in boot_code_test.cpp.
#include "disk/boot_record.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <string>

using namespace installer;

namespace {

class DiskImage : public testing::Test {
protected:
    ScratchFolder scratch{"disk-mbr"};
    std::string path = scratch / "disk.img";
};

TEST_F(DiskImage, BootCodeReplacesTheOldLoaderAndKeepsTableAndSignature) {
    // An old boot loader, a table of four used entries and the signature, then data.
    std::string before(4096, '\0');
    for (size_t i = 0; i < before.size(); ++i)
        before[i] = static_cast<char>(i * 7 + 1);
    before[510] = '\x55';
    before[511] = '\xaa';
    writeFile(path, before);
    ASSERT_TRUE(installBootCode(path.c_str()));
    EXPECT_EQ(fileContents(path), std::string(reinterpret_cast<const char*>(bootCode), 184) +
                                      std::string(446 - 184, '\0') + before.substr(446));
}

TEST_F(DiskImage, ShortDiskIsReportedAndLeftUntouched) {
    writeFile(path, std::string(100, 'Z'));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(installBootCode(path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not read MBR: Input/output error\n");
    EXPECT_EQ(fileContents(path), std::string(100, 'Z'));
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
