// Installing a package's contents: scripts, archive, verification, record, install script.
// Each test runs in a sandbox with its own /flash (and a bash inside it for scripts).
#include "repository/repository.h"

#include "testbed/support/private_root.h"
#include "testbed/support/repository_console.h"

using namespace installer;
using testconsole::install;
using testpkg::Draft;

namespace {

const std::string pdb = "/flash/var/pdb/";

Draft tool(std::optional<std::string> oninstall = {}) {
    Draft draft;
    draft.oninstall = oninstall;
    draft.name = "tool";
    draft.version = makeVersion(2, 9, 'f', 27);
    draft.entries = {testpkg::directory("usr"), testpkg::directory("usr/bin"),
                     testpkg::regular("usr/bin/tool", "#!/bin/sh\n", 0755),
                     testpkg::regular("etc/tool.conf", "a=1\n")};
    return draft;
}

} // namespace

TEST(InstallContents, SignedPackageIsUnpackedRecordedScriptedAndAnnounced) {
    Draft draft = tool("echo noise; echo \"$PROFILE_LOADED $(pwd)\" > /ran-inside\n");
    draft.onuninstall = "rm -rf /\n";
    std::string bytes = draft.signedFile();
    sandbox::run([&] {
        sandbox::installShell();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_EQ(fileContents("/flash/usr/bin/tool"), "#!/bin/sh\n");
        EXPECT_EQ(fileContents(pdb + "tool/files"), "etc/tool.conf\nusr/bin/tool\n");
        EXPECT_EQ(fileContents("/flash/ran-inside"), "1 /\n") << "profile sourced, root is /flash";
        EXPECT_EQ(fileContents(pdb + "tool/onuninstall"),
                  "#!/bin/bash\n\n. /vela/lib/install/profile.sh\n\nrm -rf /\n");
        EXPECT_TRUE(exists("/flash/usr/bin/tool")) << "the uninstall script is never run";
        EXPECT_EQ(console.messages(), "installed tool-2.9.27\n") << "script output discarded";
        EXPECT_NE(console.text().find("\rinstalling tool-2.9.27 ["), std::string::npos);
        EXPECT_TRUE(repository.status.empty());
    });
}

TEST(InstallContents, FailingScriptWarnsDisabledPackageRunsNoneAndPayloadKeepsNone) {
    Draft withPayload = tool("echo ran > /ran\n");
    withPayload.payload = std::string(20000, 'P');
    sandbox::run([&] {
        sandbox::installShell();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage failed;
        ASSERT_TRUE(install(repository, failed, tool("exit 1\n").signedFile()));
        EXPECT_EQ(console.messages(), "WARNING: package tool-2.9.27 oninstall script failed\n"
                                      "installed tool-2.9.27\n");

        InstalledPackage disabled;
        disabled.disabled = true;
        ASSERT_TRUE(install(repository, disabled, tool("echo ran > /ran\n").signedFile()));
        EXPECT_FALSE(exists("/flash/ran"));
        EXPECT_EQ(fileContents(pdb + "tool/files"), "x/tool/etc/tool.conf\nx/tool/usr/bin/tool\n");
        EXPECT_EQ(fileContents(pdb + "tool/disabled"), "auto\n");
        EXPECT_NE(console.text().find("installing  (disabled) tool-2.9.27 ["), std::string::npos);
        EXPECT_TRUE(console.messages().ends_with("installed (disabled) tool-2.9.27\n"));

        InstalledPackage payload;
        ASSERT_TRUE(install(repository, payload, withPayload.signedFile()));
        EXPECT_FALSE(exists(pdb + "tool/oninstall") || exists("/flash/ran"));
        EXPECT_TRUE(exists("/flash/usr/bin/tool")) << "the archive after the payload";
    });
}

TEST(InstallContents, BundleMemberInstallsSilentlyAndFailsUnderTheBundlesName) {
    std::string good = tool().signedFile(), bad = tool().unsignedFile();
    sandbox::run([&] {
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage member, failing;
        member.bundle = failing.bundle = {"suite", makeVersion(3, 1, 'f', 0), 0, 0};
        member.disabled = true; // a member's label shows no "(disabled)"
        ASSERT_TRUE(install(repository, member, good));
        EXPECT_EQ(fileContents(pdb + "tool/bundle"), "suite\n");
        EXPECT_EQ(console.messages(), "");
        EXPECT_NE(console.text().find("installing suite-3.1 ["), std::string::npos);
        EXPECT_FALSE(install(repository, failing, bad));
        EXPECT_EQ(console.messages(), "ERROR: installation of suite-3.1 failed: broken package\n");
    });
}

TEST(InstallContents, FailedPackageIsRemovedAgainLeavingOnlyItsDirectories) {
    std::string tampered = tool().signedFile();
    tampered.back() ^= 1; // a byte of the signature's s
    Draft device = tool();
    device.entries.push_back({020644, "dev/null", "abc"});
    device.entries.push_back(testpkg::regular("after", "never"));
    device.onuninstall = "true\n";
    const std::string broken = "ERROR: installation of tool-2.9.27 failed: broken package\n";
    std::vector<std::pair<std::string, std::string>> cases = {
        {tool().unsignedFile(), broken},
        {tampered, broken},
        {device.signedFile(), broken},
    };
    sandbox::run([&] {
        for (auto& [bytes, message] : cases) {
            Repository repository;
            testconsole::CapturedConsole console(repository);
            InstalledPackage package;
            EXPECT_FALSE(install(repository, package, bytes));
            EXPECT_EQ(console.messages(), message);
            EXPECT_FALSE(exists("/flash/usr/bin/tool") || exists("/flash/etc/tool.conf") ||
                         exists("/flash/after"));
            EXPECT_TRUE(exists("/flash/usr/bin")) << "directories stay";
            EXPECT_FALSE(exists(pdb + "tool")) << "no record is left behind";
        }
        // A script that cannot be stored: the writer's report and the step's.
        makeDirectories(pdb + "tool/oninstall");
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        EXPECT_FALSE(install(repository, package, tool("true\n").signedFile()));
        std::string line = "ERROR: installation of tool-2.9.27 failed: could not create "
                           "oninstall: Is a directory\n";
        EXPECT_EQ(console.messages(), line + line);
    });
}

// An unregistered package leaves no record:
// InstallStream.UnregisteredPackageNeitherReplacesNorRecords.
TEST(InstallContents, RelativeInstallationIsRecordedAndRemovedBelowTheCurrentDirectory) {
    std::string good = tool().signedFile();
    Draft broken = tool();
    broken.name = "broken";
    std::string bad = broken.unsignedFile();
    sandbox::run([&] {
        // The file of the same name below /flash is not touched.
        makeDirectories("/flash/etc");
        writeFile("/flash/etc/tool.conf", "kept");
        makeDirectories("/ram/root");
        ASSERT_EQ(chdir("/ram/root"), 0);
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage relative, failing;
        ASSERT_TRUE(install(repository, relative, good, true));
        EXPECT_TRUE(exists("/ram/root/usr/bin/tool"));
        EXPECT_EQ(relative.files, (std::set<std::string>{"./etc/tool.conf", "./usr/bin/tool"}));
        EXPECT_TRUE(exists("/ram/root/flash/var/pdb/tool/files"));
        EXPECT_FALSE(install(repository, failing, bad, true));
        EXPECT_EQ(fileContents("/flash/etc/tool.conf"), "kept");
        EXPECT_FALSE(exists("/ram/root/flash/var/pdb/broken"));
    });
}
