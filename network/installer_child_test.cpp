// The package-installer child, fed through its pipe as a flow feeds it, in a private /flash:
// what it prints, what it installs, and the image it keeps.
#include "network/installer_child.h"

#include "network/image_store.h"
#include "startup/child_process.h"
#include "testbed/support/private_root.h"
#include "testbed/support/stream_packages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace installer;
using namespace streamtest;

namespace {

struct Fed {
    bool written = false; // every byte went into the pipe
    int status = -1;      // what closePipedChild returned
    std::string printed;  // the child's standard output
    std::string console;  // the child's messages in it
};

// Writes the package into a new installer child in 4096-byte pieces, as the flows do.
Fed feed(const std::string& bytes, InstallerMode mode = InstallerMode::softwarePackage) {
    Fed fed;
    makeDirectories("/flash/var/pdb"); // as disk preparation leaves it
    testing::internal::CaptureStdout();
    if (std::FILE* pipe = openInstallerPipe(mode)) {
        fed.written = true;
        for (size_t at = 0; at < bytes.size() && fed.written; at += 4096) {
            size_t piece = std::min<size_t>(4096, bytes.size() - at);
            fed.written = std::fwrite(bytes.data() + at, 1, piece, pipe) == piece;
        }
        fed.written = std::fflush(pipe) == 0 && fed.written;
        fed.status = closePipedChild(pipe);
    }
    fed.printed = testing::internal::GetCapturedStdout();
    fed.console = messageLines(fed.printed);
    return fed;
}

} // namespace

TEST(InstallerChild, ImageEqualsThePackageBytesOnlyWhenAnInstalledRecordHasAPayload) {
    sandbox::run([] {
        Draft system = simple("system");
        system.payload = std::string(100000, 'k');
        std::string bytes = system.signedFile();
        Fed fed = feed(bytes);
        EXPECT_TRUE(fed.written);
        EXPECT_EQ(fed.status, 0);
        EXPECT_EQ(fed.console, "installed system-1.0\n");
        EXPECT_TRUE(fileContents("/flash/var/pdb/system/image") == bytes);
        EXPECT_FALSE(exists(imagePath));

        // No payload, or no installation: no image anywhere.
        fed = feed(simple("ppp").signedFile());
        EXPECT_EQ(fed.console, "installed ppp-1.0\n");
        EXPECT_FALSE(exists("/flash/var/pdb/ppp/image"));
        EXPECT_FALSE(exists(imagePath));

        Draft refused = simple("dhcp");
        refused.payload = "blob";
        refused.architecture = "arm";
        fed = feed(refused.signedFile());
        EXPECT_EQ(fed.console, "ERROR: can not install dhcp-1.0: it is not made for i386, but "
                               "for arm\n");
        EXPECT_FALSE(exists("/flash/var/pdb/dhcp"));
        EXPECT_FALSE(exists(imagePath));
    });
}

TEST(InstallerChild, BundleWithPayloadKeepsItsImageInTheBundleRecord) {
    sandbox::run([] {
        BundleSpec base;
        base.members = {simple("system"), simple("ppp")};
        std::string parts = base.file();
        // The same bundle with a payload part after its header.
        std::string header =
            partBytes(partBundleHeader, headerBodyBytes({"base", base.version, 5}));
        std::string body = parts.substr(8 + header.size());
        std::string withPayload = packageFileBytes(header + partBytes(partPayload, "p") + body);
        Fed fed = feed(withPayload);
        EXPECT_EQ(fed.console, "installed base-1.0\n");
        EXPECT_TRUE(fileContents("/flash/var/pdb/base/image") == withPayload);
        EXPECT_FALSE(exists("/flash/var/pdb/system/image"));
        EXPECT_FALSE(exists(imagePath));
    });
}

TEST(InstallerChild, EachChildSeesWhatTheOnesBeforeInstalled) {
    sandbox::run([] {
        Draft app = simple("routing");
        app.depends = {{"system", 0, 0, 0}};
        EXPECT_EQ(feed(app.signedFile()).console,
                  "ERROR: can not install routing-1.0: system is not installed, but is required\n");
        EXPECT_EQ(feed(simple("system").signedFile()).console, "installed system-1.0\n");
        EXPECT_EQ(feed(app.signedFile()).console, "installed routing-1.0\n");
        EXPECT_EQ(feed(simple("system").signedFile()).console,
                  "WARNING: omitting package system-1.0: it is already installed\n");
    });
}

TEST(InstallerChild, SecondPipeWhileOneIsOpenGivesNone) {
    sandbox::run([] {
        makeDirectories("/flash/var/pdb");
        std::FILE* first = openInstallerPipe(InstallerMode::softwarePackage);
        ASSERT_NE(first, nullptr);
        pid_t running = pipedChildPid;
        EXPECT_EQ(openInstallerPipe(InstallerMode::softwarePackage), nullptr);
        EXPECT_EQ(openInstallerPipe(InstallerMode::driverPackage), nullptr);
        EXPECT_EQ(pipedChildPid, running);
        EXPECT_EQ(closePipedChild(first), 0);
        EXPECT_EQ(pipedChildPid, -1);
        EXPECT_FALSE(exists(imagePath)) << "an empty stream installs nothing and keeps nothing";
    });
}

TEST(InstallerChild, ChildThatStopsReadingMakesTheWriteFailInsteadOfKillingTheWriter) {
    sandbox::run([] {
        std::signal(SIGPIPE, SIG_IGN);        // as start-up has it
        ASSERT_EQ(mkdir(imagePath, 0755), 0); // the image can not be opened
        Draft big = simple("system");
        big.payload = std::string(1 << 20, 'x');
        Fed fed = feed(big.signedFile());
        EXPECT_FALSE(fed.written);
        EXPECT_EQ(fed.status, 0) << "the child's status carries no meaning";
        EXPECT_EQ(fed.console, "ERROR: could not open image\n");
        EXPECT_FALSE(exists("/flash/var/pdb/system"));
    });
}

TEST(InstallerChild, DriverModeIsQuietRelativeAndKeepsNoImage) {
    sandbox::run([] {
        Draft driver = simple("drivers");
        driver.payload = "ignored";
        Fed fed = feed(driver.signedFile(), InstallerMode::driverPackage);
        EXPECT_EQ(fed.status, 0);
        EXPECT_EQ(fed.printed, "") << "not even a status line";
        EXPECT_EQ(fileContents("/drivers/file"), "data") << "installed into the running system";
        EXPECT_FALSE(exists("/flash/drivers"));
        EXPECT_FALSE(exists(imagePath));
    });
}

TEST(InstallerChild, ExitStatusTellsAFailingTargetApartFromARefusedOrBrokenPackage) {
    sandbox::run(
        [] {
            std::signal(SIGPIPE, SIG_IGN);
            std::string good = simple("ppp").signedFile();
            Fed fed = feed(good.substr(0, good.size() - 30));
            EXPECT_EQ(fed.console, "ERROR: installation of ppp-1.0 failed: broken package\n");
            EXPECT_EQ(fed.status, 0);
            EXPECT_FALSE(targetFailed(fed.status)) << "a broken package lets the flow go on";

            fed = feed(simple("system", 0x01000000, std::string(400000, 'z')).signedFile());
            EXPECT_EQ(fed.console, "ERROR: installation of system-1.0 failed: disk is too small\n");
            EXPECT_TRUE(WIFEXITED(fed.status) && WEXITSTATUS(fed.status) == installerTargetFailed)
                << fed.status;
            EXPECT_TRUE(targetFailed(fed.status));
            EXPECT_FALSE(exists("/flash/var/pdb/system"));
            EXPECT_FALSE(exists(imagePath));

            // The next child starts afresh: a package that fits is done again.
            fed = feed(good);
            EXPECT_EQ(fed.console, "installed ppp-1.0\n");
            EXPECT_FALSE(targetFailed(fed.status));
        },
        "size=256k");
    // No status, a child that died, or one that ended with another status: no target failure.
    for (int status : {-1, SIGKILL, 1 << 8})
        EXPECT_FALSE(targetFailed(status)) << status;
    EXPECT_TRUE(targetFailed(installerTargetFailed << 8));
}
