// Start-up steps that touch the system and can be checked outside the sandbox: the front panel
// and the marker file. The rest is exercised by the installer itself in the sandbox.
#include "startup/boot_steps.h"
#include "startup/console.h"
#include "testbed/pty_console.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace installer;

namespace {

class ScratchDir : public testing::Test {
protected:
    std::string write(const std::string& name, const std::string& contents) {
        writeFile(dir / name, contents);
        return dir / name;
    }
    ScratchFolder dir{"boot-steps"};
};

} // namespace

TEST_F(ScratchDir, FrontPanelNodeIsMadeFromTheDeviceNumberAndOpened) {
    std::string sysFile = write("dev", "1:3\n"); // the null device stands in for the panel
    std::string node = dir / "lcd";
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
    std::string node = dir / "lcd";
    std::string shown; // each call's result and what the console showed meanwhile
    {
        PtyConsole console; // nothing is checked while it has the standard output
        int strange = openFrontPanel(sysFile.c_str(), node.c_str());
        shown = std::to_string(strange) + " " + console.output() + "|";
        int missing = openFrontPanel((dir / "missing").c_str(), node.c_str());
        shown += std::to_string(missing) + " " + console.output();
    }
    EXPECT_EQ(shown, "-1 ERROR: strange format for lcd dev\n|-1 ");
    EXPECT_NE(access(node.c_str(), F_OK), 0);
}

TEST_F(ScratchDir, MarkerFileIsEmptyAndPrivate) {
    std::string path = dir / "SHOW_LICENSE";
    mode_t old = umask(0);
    createMarkerFile(path.c_str());
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    createMarkerFile((dir / "no/such/dir/x").c_str()); // ignored
}
