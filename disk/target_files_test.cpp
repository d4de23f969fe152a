// The configuration files and directories of a new system, written into a scratch root and
// compared byte for byte.
#include "disk/target_files.h"

#include "disk/discovery.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace installer;

namespace fs = std::filesystem;

namespace {

class NewSystemRoot : public testing::Test {
protected:
    std::string read(const char* path) { return fileContents(root + path); }
    unsigned mode(const char* path) {
        return static_cast<unsigned>(fs::status(root + path).permissions());
    }

    ScratchFolder scratch{"disk-target"};
    std::string root = scratch.path;
};

TEST_F(NewSystemRoot, OnePartitionDiskBootsAndMountsPartitionOne) {
    umask(077); // the files' modes must not depend on the installer's umask
    DiskRecord disk = describeDisk("/dev/hda", 60, 16, 63); // about 30 MiB: ext2
    ASSERT_TRUE(writeLiloConf(root.c_str(), disk));
    ASSERT_TRUE(writeFstab(root.c_str(), disk));
    umask(022);
    EXPECT_EQ(read("/etc/lilo.conf"), "boot=/dev/hda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
                                      "image=/boot/vmlinuz\n  label=System\n"
                                      "  root=/dev/hda1\n  read-only\n");
    EXPECT_EQ(read("/etc/fstab"), "/dev/hda1  /     ext2 defaults 1 1\n"
                                  "none /proc proc defaults 0 0\n"
                                  "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_EQ(mode("/etc/lilo.conf"), 0644u);
    EXPECT_EQ(mode("/etc/fstab"), 0644u);
}

TEST_F(NewSystemRoot, ExistingEtcIsUsedAndOldFilesAreReplaced) {
    fs::create_directory(root + "/etc");
    std::ofstream(root + "/etc/fstab") << "old contents that are longer than the new table\n"
                                       << std::string(400, '#');
    DiskRecord disk = describeDisk("/dev/hda", 1000, 16, 63);
    ASSERT_TRUE(writeLiloConf(root.c_str(), disk));
    ASSERT_TRUE(writeFstab(root.c_str(), disk));
    EXPECT_EQ(read("/etc/fstab").rfind("/dev/hda1  /     ext3 defaults 1 1\n", 0), 0u);
    EXPECT_EQ(read("/etc/fstab").find('#'), std::string::npos);
}

TEST_F(NewSystemRoot, UnwritableSystemReportsEachFile) {
    std::ofstream(root + "/etc") << "a file where the directory should be";
    DiskRecord disk = describeDisk("/dev/hda", 600, 16, 63);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(writeLiloConf(root.c_str(), disk));
    EXPECT_FALSE(writeFstab(root.c_str(), disk));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: could not create lilo.conf\nERROR: could not create fstab\n");
}

TEST_F(NewSystemRoot, BaseDirectoriesAndNoFsckMarker) {
    createBaseDirectories(root.c_str());
    markNoFsck(root.c_str());
    for (const char* path : {"/rw", "/vela", "/vela/etc", "/var", "/var/pdb"}) {
        EXPECT_TRUE(fs::is_directory(root + path)) << path;
        EXPECT_EQ(mode(path), 0755u) << path;
    }
    EXPECT_TRUE(fs::is_regular_file(root + "/.nofsck"));
    EXPECT_EQ(fs::file_size(root + "/.nofsck"), 0u);
}

TEST_F(NewSystemRoot, DirectoryThatCannotBeMadeIsReportedAndTheOthersStillAre) {
    std::ofstream(root + "/vela") << "in the way";
    testing::internal::CaptureStderr();
    createBaseDirectories(root.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "/vela: File exists\n/vela/etc: Not a directory\n");
    EXPECT_TRUE(fs::is_directory(root + "/rw"));
    EXPECT_TRUE(fs::is_directory(root + "/var/pdb"));
}

} // namespace
