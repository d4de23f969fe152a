// Installing a package's contents: scripts, archive, verification, record, install script.
// Each test runs in a sandbox with its own /flash (and a bash inside it for scripts).
#include "repository/repository.h"

#include "package/record_header.h"
#include "package/record_test_packages.h"
#include "package/record_test_sandbox.h"
#include "repository/test_console.h"
#include "repository/test_signing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace installer;
using sandbox::exists;
using sandbox::readFile;
using sandbox::writeFile;
using testpkg::Spec;

namespace {

const std::string pdb = "/flash/var/pdb/";

// Reads the header parts and installs the contents, as the stream installation does; the
// record is returned through `package` so tests can look at it afterwards.
bool install(Repository& repository, InstalledPackage& package, const std::string& bytes,
             bool relative = false) {
    testpkg::MemoryReader in(bytes);
    bool disabled = package.disabled;
    if (!readHeader(package, in.reader))
        return false;
    package.disabled = disabled;
    return repository.installContents(package, in.reader, relative);
}

Spec toolPackage() {
    Spec spec;
    spec.name = "tool";
    spec.version = makeVersion(2, 9, 'f', 27);
    spec.entries = {testpkg::directory("usr"), testpkg::directory("usr/bin"),
                    testpkg::regular("usr/bin/tool", "#!/bin/sh\n", 0755),
                    testpkg::regular("etc/tool.conf", "a=1\n")};
    return spec;
}

} // namespace

TEST(InstallContents, SignedPackageIsUnpackedRecordedAndAnnounced) {
    std::string bytes = testsign::signedFile(toolPackage().parts());
    sandbox::run([&] {
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_EQ(readFile("/flash/usr/bin/tool"), "#!/bin/sh\n");
        EXPECT_EQ(readFile(pdb + "tool/files"), "etc/tool.conf\nusr/bin/tool\n");
        EXPECT_EQ(readFile(pdb + "tool/version"),
                  std::to_string(makeVersion(2, 9, 'f', 27)) + " 1000\n");
        EXPECT_EQ(console.messages(), "installed tool-2.9.27\n");
        std::string all = console.text();
        EXPECT_NE(all.find("\rinstalling tool-2.9.27 ["), std::string::npos) << "progress shown";
        EXPECT_TRUE(repository.status.empty()) << "the bar is gone after the last line";
    });
}

TEST(InstallContents, InstallScriptRunsInsideTheTargetWithItsOutputDiscarded) {
    Spec spec = toolPackage();
    spec.oninstall = "echo noise; echo \"$PROFILE_LOADED $(pwd)\" > /ran-inside\n";
    spec.onuninstall = "rm -rf /\n";
    std::string bytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        sandbox::installShell();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_EQ(readFile("/flash/ran-inside"), "1 /\n") << "profile sourced, root is /flash";
        EXPECT_EQ(console.messages(), "installed tool-2.9.27\n") << "script output discarded";
        EXPECT_EQ(sandbox::readFile(pdb + "tool/onuninstall"),
                  "#!/bin/bash\n\n. /vela/lib/install/profile.sh\n\nrm -rf /\n");
        EXPECT_TRUE(exists("/flash/usr/bin/tool")) << "the uninstall script is never run";
    });
}

TEST(InstallContents, FailingInstallScriptWarnsAndThePackageStays) {
    Spec spec = toolPackage();
    spec.oninstall = "exit 1\n";
    std::string bytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        sandbox::installShell();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_EQ(console.messages(), "WARNING: package tool-2.9.27 oninstall script failed\n"
                                      "installed tool-2.9.27\n");
        EXPECT_TRUE(exists(pdb + "tool/files"));
    });
}

TEST(InstallContents, DisabledPackageGoesBelowXAndRunsNoScript) {
    Spec spec = toolPackage();
    spec.oninstall = "echo ran > /ran\n";
    std::string bytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        sandbox::installShell();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        package.disabled = true;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_FALSE(exists("/flash/ran"));
        EXPECT_TRUE(exists("/flash/x/tool/usr/bin/tool"));
        EXPECT_EQ(readFile(pdb + "tool/disabled"), "auto\n");
        EXPECT_EQ(readFile(pdb + "tool/files"), "x/tool/etc/tool.conf\nx/tool/usr/bin/tool\n");
        EXPECT_EQ(console.messages(), "installed (disabled) tool-2.9.27\n");
        EXPECT_NE(console.text().find("installing  (disabled) tool-2.9.27 ["), std::string::npos);
    });
}

TEST(InstallContents, BundleMemberInstallsSilentlyAndFailsUnderTheBundlesName) {
    std::string good = testsign::signedFile(toolPackage().parts());
    std::string bad = toolPackage().unsignedFile();
    sandbox::run([&] {
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage member;
        member.bundle = {"suite", makeVersion(3, 1, 'f', 0), makeVersion(3, 1, 'f', 0), 0};
        member.disabled = true; // a disabled member shows no "(disabled)" in its label
        ASSERT_TRUE(install(repository, member, good));
        EXPECT_EQ(readFile(pdb + "tool/bundle"), "suite\n");
        EXPECT_EQ(console.messages(), "");
        EXPECT_NE(console.text().find("installing suite-3.1 ["), std::string::npos);

        InstalledPackage failing;
        failing.bundle = member.bundle;
        failing.name = "tool";
        EXPECT_FALSE(install(repository, failing, bad));
        EXPECT_EQ(console.messages(), "ERROR: installation of suite-3.1 failed: broken package\n");
    });
}

TEST(InstallContents, PayloadIsPassedOverAndKeepsNoInstallScript) {
    Spec spec = toolPackage();
    spec.payload = std::string(20000, 'P');
    spec.oninstall = "echo ran > /ran\n";
    std::string bytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        sandbox::installShell();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_TRUE(package.hasPayload);
        EXPECT_FALSE(exists(pdb + "tool/oninstall"));
        EXPECT_FALSE(exists("/flash/ran"));
        EXPECT_TRUE(exists("/flash/usr/bin/tool")) << "the archive after the payload is unpacked";
    });
}

TEST(InstallContents, UnverifiedPackageIsRemovedAgainLeavingItsDirectories) {
    std::string unsignedBytes = toolPackage().unsignedFile();
    std::string tampered = testsign::signedFile(toolPackage().parts());
    tampered[tampered.size() - 1] ^= 1; // a byte of the signature's s
    sandbox::run([&] {
        for (const std::string& bytes : {unsignedBytes, tampered}) {
            Repository repository;
            testconsole::CapturedConsole console(repository);
            InstalledPackage package;
            EXPECT_FALSE(install(repository, package, bytes));
            EXPECT_EQ(console.messages(),
                      "ERROR: installation of tool-2.9.27 failed: broken package\n");
            EXPECT_FALSE(exists("/flash/usr/bin/tool"));
            EXPECT_FALSE(exists("/flash/etc/tool.conf"));
            EXPECT_TRUE(exists("/flash/usr/bin")) << "directories stay";
            EXPECT_FALSE(exists(pdb + "tool")) << "no record is left behind";
        }
    });
}

TEST(InstallContents, DeviceEntryWithThreeBytesUndoesThePackage) {
    Spec spec = toolPackage();
    spec.entries.push_back({020644, "dev/null", "abc"});
    spec.entries.push_back(testpkg::regular("after", "never"));
    spec.onuninstall = "true\n";
    std::string bytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        EXPECT_FALSE(install(repository, package, bytes));
        EXPECT_EQ(console.messages(),
                  "ERROR: installation of tool-2.9.27 failed: broken package\n");
        EXPECT_FALSE(exists("/flash/usr/bin/tool"));
        EXPECT_FALSE(exists("/flash/after"));
        EXPECT_FALSE(exists(pdb + "tool"));
        EXPECT_TRUE(package.files.empty());
    });
}

TEST(InstallContents, UnregisteredPackageLeavesNoRecord) {
    std::string bytes = testsign::signedFile(toolPackage().parts(), unregisteredMagic);
    sandbox::run([&] {
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, bytes));
        EXPECT_TRUE(exists("/flash/usr/bin/tool"));
        EXPECT_FALSE(exists(pdb + "tool"));
        EXPECT_EQ(console.messages(), "installed tool-2.9.27\n");
    });
}

TEST(InstallContents, RelativeInstallationStaysBelowTheCurrentDirectory) {
    std::string good = testsign::signedFile(toolPackage().parts());
    Spec broken = toolPackage();
    broken.name = "broken";
    std::string bad = broken.unsignedFile();
    sandbox::run([&] {
        sandbox::makeDirectory("/ram/root");
        ASSERT_EQ(chdir("/ram/root"), 0);
        Repository repository;
        repository.quiet = true;
        InstalledPackage package;
        ASSERT_TRUE(install(repository, package, good, true));
        EXPECT_TRUE(exists("/ram/root/usr/bin/tool"));
        EXPECT_EQ(package.files, (std::set<std::string>{"./etc/tool.conf", "./usr/bin/tool"}));
        EXPECT_TRUE(exists("/ram/root/flash/var/pdb/tool/files"));
        EXPECT_FALSE(exists("/flash/usr"));

        // A failed relative installation is removed where it was placed, and a file of the
        // same name below /flash is not touched.
        sandbox::makeDirectory("/flash/etc");
        writeFile("/flash/etc/tool.conf", "target's own");
        InstalledPackage failing;
        EXPECT_FALSE(install(repository, failing, bad, true));
        EXPECT_EQ(readFile("/flash/etc/tool.conf"), "target's own");
        EXPECT_FALSE(exists("/ram/root/flash/var/pdb/broken"));
    });
}

TEST(InstallContents, ScriptThatCannotBeStoredIsReportedAndUndone) {
    Spec spec = toolPackage();
    spec.oninstall = "true\n";
    std::string bytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        sandbox::makeDirectory(pdb + "tool/oninstall");
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        EXPECT_FALSE(install(repository, package, bytes));
        std::string line = "ERROR: installation of tool-2.9.27 failed: could not create oninstall: "
                           "Is a directory\n";
        EXPECT_EQ(console.messages(), line + line) << "the writer's report and the step's";
        EXPECT_FALSE(exists("/flash/usr/bin/tool"));
    });
}
