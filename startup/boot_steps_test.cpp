// Start-up steps that touch the system and can be checked outside the sandbox: the front panel
// and the marker file. The rest is exercised by the installer itself in the sandbox.
#include "startup/boot_steps.h"
#include "startup/console.h"
#include "testbed/pty_console.h"
#include "testbed/support/scratch_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace installer;

namespace {

class ScratchDir : public testing::Test {
protected:
    std::string write(const std::string& name, const std::string& contents) {
        std::ofstream(dir_ + "/" + name) << contents;
        return dir_ + "/" + name;
    }
    ScratchFolder scratch{"boot-steps"};
    std::string dir_ = scratch.path;
};

} // namespace

TEST_F(ScratchDir, FrontPanelNodeIsMadeFromTheDeviceNumberAndOpened) {
    std::string sysFile = write("dev", "1:3\n"); // the null device stands in for the panel
    std::string node = dir_ + "/lcd";
    int fd = openFrontPanel(sysFile.c_str(), node.c_str());
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(stat(node.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    close(fd);
}

TEST_F(ScratchDir, FrontPanelWithAStrangeFileIsReportedAndAMissingOneIsSilent) {
    std::string sysFile = write("dev", "ten-three\n");
    std::string node = dir_ + "/lcd";
    int strange = 0, missing = 0;
    std::string strangeShown, missingShown;
    {
        PtyConsole console;
        strange = openFrontPanel(sysFile.c_str(), node.c_str());
        strangeShown = console.output();
        missing = openFrontPanel((dir_ + "/missing").c_str(), node.c_str());
        missingShown = console.output();
    }
    EXPECT_EQ(strange, -1);
    EXPECT_EQ(strangeShown, "ERROR: strange format for lcd dev\n");
    EXPECT_NE(access(node.c_str(), F_OK), 0);
    EXPECT_EQ(missing, -1);
    EXPECT_EQ(missingShown, "");
}

TEST_F(ScratchDir, MarkerFileIsEmptyAndPrivate) {
    std::string path = dir_ + "/SHOW_LICENSE";
    mode_t old = umask(0);
    createMarkerFile(path.c_str());
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    createMarkerFile((dir_ + "/no/such/dir/x").c_str()); // ignored
}
