// The package database on a target: each test runs in a sandbox with tmpfs at /flash and /ram.
#include "package/installed_package.h"

#include "package/record_test_sandbox.h"
#include "package/version.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace installer;
using sandbox::exists;
using sandbox::readFile;
using sandbox::writeFile;

namespace {

struct Reports : RecordReporter {
    std::vector<std::string> lines;
    void reportError(const std::string& text) override { lines.push_back(text); }
};

const std::string pdb = "/flash/var/pdb/";

void fillSample(InstalledPackage& p) {
    p.name = "tool";
    p.version = makeVersion(2, 9, 'f', 27);
    p.buildTime = 1234567890;
    p.files = {"/bin/tool", "/etc/tool.conf"};
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

TEST(Database, SavedFilesHoldExactlyTheRecordsText) {
    sandbox::run([] {
        InstalledPackage p;
        fillSample(p);
        p.userChoice = true;
        Reports reports;
        ASSERT_TRUE(p.store(reports));
        std::string d = pdb + "tool/";
        EXPECT_EQ(readFile(d + "version"), "34170395 1234567890\n");
        EXPECT_TRUE(exists(d + "deps"));
        EXPECT_EQ(readFile(d + "deps"), "") << "present even when empty";
        EXPECT_FALSE(exists(d + "provides"));
        EXPECT_FALSE(exists(d + "conflicts"));
        EXPECT_FALSE(exists(d + "bundle"));
        EXPECT_EQ(readFile(d + "files"), "bin/tool\netc/tool.conf\n");
        EXPECT_EQ(readFile(d + "enabled"), "user\n");
        EXPECT_FALSE(exists(d + "disabled"));

        p.depends = {{"libc", 5, 0, 0}, {"zlib", 0, 7, 0}};
        p.provides = {{"mta", 1, 2, -3}};
        p.conflicts = {{"old", 0, 9, 0}};
        p.bundle = {"suite", 3, 3, 0};
        p.disabled = true;
        p.userChoice = false;
        writeFile(d + "oninstall", "#!/bin/bash\n");
        p.hasPayload = true;
        ASSERT_TRUE(p.save(false, reports));
        EXPECT_EQ(readFile(d + "deps"), "libc 5 0\nzlib 0 7\n");
        EXPECT_EQ(readFile(d + "provides"), "mta 1 2 -3\n");
        EXPECT_EQ(readFile(d + "conflicts"), "old 0 9\n");
        EXPECT_EQ(readFile(d + "bundle"), "suite\n");
        EXPECT_EQ(readFile(d + "disabled"), "auto\n");
        EXPECT_FALSE(exists(d + "enabled"));
        EXPECT_FALSE(exists(d + "oninstall")) << "a package with payload keeps no install script";
        EXPECT_TRUE(reports.lines.empty());
    });
}

TEST(Database, RecordLoadsBackAsItWasSaved) {
    sandbox::run([] {
        InstalledPackage p;
        fillSample(p);
        p.depends = {{"libc", 5, 0, 0}};
        p.provides = {{"mta", 0, 0, -7}};
        p.conflicts = {{"old", 0, 9, 0}};
        p.bundle = {"suite", 3, 3, 0};
        p.disabled = true;
        p.userChoice = true;
        Reports reports;
        ASSERT_TRUE(p.store(reports));

        InstalledPackage q;
        q.load("tool");
        EXPECT_EQ(q.version, p.version);
        EXPECT_EQ(q.buildTime, p.buildTime);
        ASSERT_EQ(q.depends.size(), 1u);
        EXPECT_EQ(q.depends[0].minVersion, 5u);
        ASSERT_EQ(q.provides.size(), 1u);
        EXPECT_EQ(q.provides[0].priority, -7);
        ASSERT_EQ(q.conflicts.size(), 1u);
        EXPECT_EQ(q.conflicts[0].maxVersion, 9u);
        EXPECT_EQ(q.files, p.files) << "paths come back with their leading /";
        EXPECT_EQ(q.bundle.name, "suite");
        EXPECT_EQ(q.bundle.minVersion, 0u) << "a bundle's version is not stored";
        EXPECT_TRUE(q.disabled);
        EXPECT_TRUE(q.userChoice);
        EXPECT_FALSE(q.isBundle);
        EXPECT_EQ(q.scheduled, scheduleNone);
    });
}

TEST(Database, DamagedRecordsLoadScheduledForUninstallation) {
    sandbox::run([] {
        sandbox::makeDirectory(pdb + "cut");
        writeFile(pdb + "cut/version", "16777216 5\n");
        writeFile(pdb + "cut/deps", "libc 5\n");
        writeFile(pdb + "cut/files", "bin/x\n\n/sbin/y\n");
        InstalledPackage cut;
        cut.load("cut");
        EXPECT_EQ(cut.scheduled, scheduleUninstall) << "a deps line with one number";
        EXPECT_EQ(cut.files, (std::set<std::string>{"/bin/x", "/sbin/y"}));

        sandbox::makeDirectory(pdb + "noversion");
        writeFile(pdb + "noversion/deps", "");
        writeFile(pdb + "noversion/files", "");
        InstalledPackage noVersion;
        noVersion.load("noversion");
        EXPECT_EQ(noVersion.scheduled, scheduleUninstall);

        sandbox::makeDirectory(pdb + "fine");
        writeFile(pdb + "fine/version", "1 2\n");
        writeFile(pdb + "fine/deps", "");
        writeFile(pdb + "fine/files", "");
        InstalledPackage fine;
        fine.load("fine");
        EXPECT_EQ(fine.scheduled, scheduleNone) << "an empty deps file is not damage";
        EXPECT_FALSE(fine.isBundle);

        sandbox::makeDirectory(pdb + "suite");
        writeFile(pdb + "suite/version", "1 2\n");
        InstalledPackage bundle;
        bundle.load("suite");
        EXPECT_TRUE(bundle.isBundle) << "a record without files is a bundle";
    });
}

TEST(Database, DisabledAndEnabledFilesDecideTheState) {
    sandbox::run([] {
        struct Case {
            const char* disabled;
            bool hasEnabled;
            bool expectDisabled, expectUser;
        };
        for (Case c : {Case{"auto\n", false, true, false}, Case{"user\n", false, true, true},
                       Case{"\n", false, true, true}, Case{nullptr, true, false, true},
                       Case{nullptr, false, false, false}}) {
            sandbox::makeDirectory(pdb + "p");
            writeFile(pdb + "p/version", "1 1\n");
            unlink((pdb + "p/disabled").c_str());
            unlink((pdb + "p/enabled").c_str());
            if (c.disabled)
                writeFile(pdb + "p/disabled", c.disabled);
            if (c.hasEnabled)
                writeFile(pdb + "p/enabled", "user\n");
            InstalledPackage p;
            p.load("p");
            EXPECT_EQ(p.disabled, c.expectDisabled) << (c.disabled ? c.disabled : "-");
            EXPECT_EQ(p.userChoice, c.expectUser) << (c.disabled ? c.disabled : "-");
        }
    });
}

TEST(Database, ScheduleFilesAreObeyedAndDeleted) {
    sandbox::run([] {
        struct Case {
            const char* word;
            int scheduled;
            bool user;
        };
        for (Case c :
             {Case{"enable\n", scheduleEnable, true}, Case{"disable", scheduleDisable, true},
              Case{"uninstall\n", scheduleUninstall, false},
              Case{"reboot\n", scheduleNone, false}}) {
            sandbox::makeDirectory(pdb + "p");
            writeFile(pdb + "p/version", "1 1\n");
            sandbox::makeDirectory("/ram/pdb/p");
            writeFile("/ram/pdb/p/schedule", c.word);
            InstalledPackage p;
            p.load("p");
            EXPECT_EQ(p.scheduled, c.scheduled) << c.word;
            EXPECT_EQ(p.userChoice, c.user) << c.word;
            EXPECT_FALSE(exists("/ram/pdb/p/schedule"));
        }
    });
}

TEST(Database, DisableAndEnableRewriteTheStateFiles) {
    sandbox::run([] {
        InstalledPackage p;
        fillSample(p);
        p.userChoice = true;
        Reports reports;
        ASSERT_TRUE(p.store(reports));
        p.userChoice = false;
        p.scheduled = scheduleDisable;
        p.disable();
        EXPECT_EQ(readFile(pdb + "tool/disabled"), "auto\n");
        EXPECT_FALSE(exists(pdb + "tool/enabled"));
        EXPECT_TRUE(p.disabled);
        EXPECT_EQ(p.scheduled, scheduleNone);

        p.userChoice = true;
        p.enable();
        EXPECT_FALSE(exists(pdb + "tool/disabled"));
        EXPECT_EQ(readFile(pdb + "tool/enabled"), "user\n");
        p.userChoice = false;
        p.enable();
        EXPECT_FALSE(exists(pdb + "tool/enabled"));
        EXPECT_FALSE(p.disabled);
    });
}

TEST(Database, ScriptGetsThePreambleAndMode0755) {
    sandbox::run([] {
        InstalledPackage p;
        fillSample(p);
        Reports reports;
        ASSERT_TRUE(p.makeDatabaseDirectory(false));
        std::istringstream body("echo configured\nexit 0\n");
        ASSERT_TRUE(p.writeScript(body, 23, "oninstall", false, reports));
        EXPECT_EQ(readFile(pdb + "tool/oninstall"),
                  "#!/bin/bash\n\n. /vela/lib/install/profile.sh\n\necho configured\nexit 0\n");
        EXPECT_EQ(modeOf(pdb + "tool/oninstall"), 0755u);

        std::istringstream cut("echo");
        EXPECT_FALSE(p.writeScript(cut, 1u << 30, "onuninstall", false, reports));
        EXPECT_FALSE(exists(pdb + "tool/onuninstall")) << "a cut-short script is not left";
        ASSERT_EQ(reports.lines.size(), 1u);
        EXPECT_EQ(reports.lines[0], "installation of tool-2.9.27 failed: broken package");
    });
}

TEST(Database, RelativeRecordsLiveBelowTheCurrentDirectory) {
    sandbox::run([] {
        sandbox::makeDirectory("/ram/root");
        ASSERT_EQ(chdir("/ram/root"), 0);
        InstalledPackage p;
        fillSample(p);
        Reports reports;
        ASSERT_TRUE(p.makeDatabaseDirectory(true));
        ASSERT_TRUE(p.save(true, reports));
        EXPECT_EQ(readFile("/ram/root/flash/var/pdb/tool/version"), "34170395 1234567890\n");
        EXPECT_FALSE(exists(pdb + "tool"));
        p.files = {"./bin/tool"};
        sandbox::makeDirectory("/ram/root/bin");
        writeFile("/ram/root/bin/tool", "x");
        sandbox::makeDirectory("/flash/bin");
        writeFile("/flash/bin/tool", "keep");
        p.remove(true);
        EXPECT_FALSE(exists("/ram/root/bin/tool")) << "removed where it was created";
        EXPECT_EQ(readFile("/flash/bin/tool"), "keep");
        EXPECT_FALSE(exists("/ram/root/flash/var/pdb/tool"));
    });
}

TEST(Database, SaveFailuresNameTheFileAndTheCause) {
    sandbox::run(
        [] {
            InstalledPackage p;
            fillSample(p);
            p.bundle = {"suite", makeVersion(3, 0, 'f', 0), makeVersion(3, 0, 'f', 0), 0};
            Reports reports;
            EXPECT_FALSE(p.save(false, reports)) << "no database directory";
            ASSERT_EQ(reports.lines.size(), 1u);
            EXPECT_EQ(reports.lines[0], "installation of suite-3.0 failed: could not create "
                                        "meta/version: No such file or directory");

            ASSERT_TRUE(p.makeDatabaseDirectory(false));
            writeFile("/flash/filler", std::string(256 * 1024, 'f'));
            reports.lines.clear();
            EXPECT_FALSE(p.store(reports));
            ASSERT_FALSE(reports.lines.empty());
            EXPECT_EQ(reports.lines[0], "installation of suite-3.0 failed: disk is too small");
            EXPECT_FALSE(exists(pdb + "tool")) << "a record that could not be stored is removed";
        },
        "size=256k");
}

TEST(Database, RemoveDeletesOwnedPathsAndTheRecordButNoDirectories) {
    sandbox::run([] {
        InstalledPackage p;
        fillSample(p);
        Reports reports;
        ASSERT_TRUE(p.store(reports));
        writeFile(pdb + "tool/image", "raw package");
        sandbox::makeDirectory("/flash/bin");
        sandbox::makeDirectory("/flash/etc");
        writeFile("/flash/bin/tool", "x");
        writeFile("/flash/etc/tool.conf", "x");
        writeFile("/flash/etc/other.conf", "x");
        p.scheduled = scheduleUninstall;
        p.remove();
        EXPECT_FALSE(exists("/flash/bin/tool"));
        EXPECT_FALSE(exists("/flash/etc/tool.conf"));
        EXPECT_TRUE(exists("/flash/etc/other.conf"));
        EXPECT_TRUE(exists("/flash/bin"));
        EXPECT_FALSE(exists(pdb + "tool"));
        EXPECT_TRUE(p.files.empty());
        EXPECT_EQ(p.scheduled, scheduleNone);
    });
}

TEST(Database, RemovalNeverReachesOutsideTheTarget) {
    sandbox::run([] {
        // Links on the target (placed by some package) lead out of /flash in a plain lookup.
        sandbox::makeDirectory("/tmp/outside");
        writeFile("/tmp/outside/passwd", "precious");
        writeFile("/tmp/outside/version", "precious");
        sandbox::makeDirectory("/flash/var/pdb");
        ASSERT_EQ(symlink("/tmp/outside", "/flash/etc"), 0);
        ASSERT_EQ(symlink("/tmp/outside", "/flash/var/pdb/evil"), 0);
        InstalledPackage p;
        p.name = "evil";
        p.files = {"/etc/passwd", "/../tmp/outside/version", "/etc"};
        p.remove();
        EXPECT_EQ(readFile("/tmp/outside/passwd"), "precious");
        EXPECT_EQ(readFile("/tmp/outside/version"), "precious");
        EXPECT_FALSE(exists("/flash/etc")) << "the recorded link itself is the package's";
        EXPECT_TRUE(exists("/flash/var/pdb/evil"));
    });
}
