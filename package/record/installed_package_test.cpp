// The package database on a target, in a sandbox with tmpfs at /flash and /ram.
#include "package/record/installed_package.h"

#include "testbed/support/package_drafts.h"
#include "testbed/support/private_root.h"

using namespace installer;

namespace {

struct Reports : RecordReporter {
    std::vector<std::string> lines;
    void reportError(const std::string& text) override { lines.push_back(text); }
};

const std::string d = "/flash/var/pdb/tool/";

// The record of "tool", and what its operations reported.
struct Tool : InstalledPackage {
    Tool() {
        name = "tool";
        version = makeVersion(2, 9, 'f', 27); // 34170395
        buildTime = 1234567890;
        files = {"/bin/tool", "/etc/tool.conf"};
    }
    Reports reports;
};

// Loads the record "p" after writing its files (name → content; null deletes).
void loadWith(InstalledPackage& p, std::vector<std::pair<std::string, const char*>> files) {
    makeDirectories("/flash/var/pdb/p");
    for (auto& [name, text] : files) {
        std::string path = (name == "schedule" ? "/ram/pdb/p/" : "/flash/var/pdb/p/") + name;
        makeDirectories(path.substr(0, path.rfind('/')));
        text ? writeFile(path, text) : void(unlink(path.c_str()));
    }
    p.load("p");
}

// A case whose body runs as root in the sandbox (with these /flash options, if any).
#define DATABASE_TEST(name, ...)                                                                   \
    void name();                                                                                   \
    TEST(Database, name) {                                                                         \
        sandbox::run(name __VA_OPT__(, ) __VA_ARGS__);                                             \
    }                                                                                              \
    void name()

} // namespace

DATABASE_TEST(SavedFilesHoldExactlyTheRecordsTextAndLoadBack) {
    Tool p;
    p.userChoice = true;
    ASSERT_TRUE(p.store(p.reports));
    EXPECT_EQ(fileContents(d + "version"), "34170395 1234567890\n");
    EXPECT_TRUE(exists(d + "deps") && fileContents(d + "deps").empty()) << "present when empty";
    EXPECT_FALSE(exists(d + "provides") || exists(d + "conflicts") || exists(d + "bundle"));
    EXPECT_EQ(fileContents(d + "files"), "bin/tool\netc/tool.conf\n");
    EXPECT_EQ(fileContents(d + "enabled"), "user\n");

    p.depends = {{"libc", 5, 0, 0}, {"zlib", 0, 7, 0}};
    p.provides = {{"mta", 1, 2, -3}};
    p.conflicts = {{"old", 0, 9, 0}};
    p.bundle = {"suite", 3, 3, 0};
    p.disabled = true;
    p.userChoice = false;
    p.hasPayload = true;
    writeFile(d + "oninstall", "#!/bin/bash\n");
    ASSERT_TRUE(p.save(InstallationRoot::target(), p.reports));
    EXPECT_EQ(fileContents(d + "deps"), "libc 5 0\nzlib 0 7\n");
    EXPECT_EQ(fileContents(d + "provides"), "mta 1 2 -3\n");
    EXPECT_EQ(fileContents(d + "conflicts"), "old 0 9\n");
    EXPECT_EQ(fileContents(d + "bundle"), "suite\n");
    EXPECT_EQ(fileContents(d + "disabled"), "auto\n");
    EXPECT_FALSE(exists(d + "enabled"));
    EXPECT_FALSE(exists(d + "oninstall")) << "a package with payload keeps no install script";

    InstalledPackage q;
    q.load("tool");
    EXPECT_EQ(q.version, p.version);
    EXPECT_EQ(q.buildTime, p.buildTime);
    EXPECT_EQ(q.depends[1].maxVersion, 7u);
    EXPECT_EQ(q.provides[0].priority, -3);
    EXPECT_EQ(q.conflicts[0].maxVersion, 9u);
    EXPECT_EQ(q.files, p.files) << "paths come back with their leading /";
    EXPECT_EQ(q.bundle.name, "suite");
    EXPECT_TRUE(q.disabled && !q.userChoice && !q.isBundle);
    EXPECT_EQ(q.scheduled, scheduleNone);
    EXPECT_TRUE(p.reports.lines.empty());
}

DATABASE_TEST(DamagedBundleAndStateRecordsLoadAsTheirFilesSay) {
    InstalledPackage cut, noVersion, fine, bundle;
    loadWith(cut, {{"version", "1 5\n"}, {"deps", "libc 5\n"}, {"files", "bin/x\n\n/y\n"}});
    EXPECT_EQ(cut.scheduled, scheduleUninstall) << "a deps line with one number";
    EXPECT_EQ(cut.files, (std::set<std::string>{"/bin/x", "/y"}));
    loadWith(noVersion, {{"version", nullptr}, {"deps", ""}});
    EXPECT_EQ(noVersion.scheduled, scheduleUninstall);
    loadWith(fine, {{"version", "1 2\n"}});
    EXPECT_EQ(fine.scheduled, scheduleNone) << "an empty deps file is no damage";
    EXPECT_FALSE(fine.isBundle);
    loadWith(bundle, {{"files", nullptr}});
    EXPECT_TRUE(bundle.isBundle) << "a record without files is a bundle";

    struct State {
        const char *disabled, *enabled;
        bool isDisabled, user;
    };
    for (State s : {State{"auto\n", nullptr, true, false},
                    {"user\n", nullptr, true, true},
                    {"\n", nullptr, true, true},
                    {nullptr, "user\n", false, true},
                    {nullptr, nullptr, false, false}}) {
        InstalledPackage p;
        loadWith(p, {{"disabled", s.disabled}, {"enabled", s.enabled}});
        EXPECT_EQ(p.disabled, s.isDisabled) << (s.disabled ? s.disabled : "-");
        EXPECT_EQ(p.userChoice, s.user) << (s.disabled ? s.disabled : "-");
    }
    struct Schedule {
        const char* word;
        Scheduled scheduled;
        bool user;
    };
    for (Schedule s : {Schedule{"enable\n", scheduleEnable, true},
                       {"disable", scheduleDisable, true},
                       {"uninstall\n", scheduleUninstall, false},
                       {"reboot", scheduleNone, false}}) {
        InstalledPackage p;
        loadWith(p, {{"schedule", s.word}, {"enabled", nullptr}});
        EXPECT_EQ(p.scheduled, s.scheduled) << s.word;
        EXPECT_EQ(p.userChoice, s.user) << s.word;
        EXPECT_FALSE(exists("/ram/pdb/p/schedule")) << "read once, then deleted";
    }
}

DATABASE_TEST(DisableEnableAndScriptsWriteTheirFiles) {
    Tool p;
    ASSERT_TRUE(p.store(p.reports));
    p.scheduled = scheduleDisable;
    p.disable();
    EXPECT_EQ(fileContents(d + "disabled"), "auto\n");
    EXPECT_FALSE(exists(d + "enabled"));
    EXPECT_TRUE(p.disabled && p.scheduled == scheduleNone);
    p.userChoice = true;
    p.enable();
    EXPECT_FALSE(exists(d + "disabled"));
    EXPECT_EQ(fileContents(d + "enabled"), "user\n");

    std::istringstream body("echo configured\n");
    ASSERT_TRUE(p.writeScript(body, 16, "oninstall", InstallationRoot::target(), p.reports));
    EXPECT_EQ(fileContents(d + "oninstall"),
              "#!/bin/bash\n\n. /vela/lib/install/profile.sh\n\necho configured\n");
    struct stat st;
    ASSERT_EQ(stat((d + "oninstall").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    std::istringstream cut("echo");
    EXPECT_FALSE(
        p.writeScript(cut, 1u << 30, "onuninstall", InstallationRoot::target(), p.reports));
    EXPECT_FALSE(exists(d + "onuninstall")) << "a script cut short is not left";
    EXPECT_EQ(p.reports.lines,
              std::vector<std::string>{"installation of tool-2.9.27 failed: broken package"});
}

DATABASE_TEST(SaveFailuresNameTheFileAndTheCause, "size=256k") {
    Tool p;
    p.bundle = {"suite", makeVersion(3, 0, 'f', 0), 0, 0};
    EXPECT_FALSE(p.save(InstallationRoot::target(), p.reports)) << "no database directory";
    writeFile("/flash/filler", std::string(256 * 1024, 'f'));
    EXPECT_FALSE(p.store(p.reports));
    EXPECT_EQ(p.reports.lines,
              (std::vector<std::string>{"installation of suite-3.0 failed: could not create "
                                        "meta/version: No such file or directory",
                                        "installation of suite-3.0 failed: disk is too small"}));
    EXPECT_FALSE(exists(d)) << "a record that could not be stored is removed";
}

DATABASE_TEST(RemovalDeletesOwnedPathsBelowTheirRootAndNothingElse) {
    Tool p;
    ASSERT_TRUE(p.store(p.reports));
    writeFile(d + "image", "raw package");
    makeDirectories("/flash/bin");
    makeDirectories("/flash/etc");
    for (std::string f : {"/flash/bin/tool", "/flash/etc/tool.conf", "/flash/etc/other"})
        writeFile(f, "x");
    p.remove();
    EXPECT_FALSE(exists("/flash/bin/tool") || exists("/flash/etc/tool.conf") || exists(d));
    EXPECT_TRUE(exists("/flash/etc/other") && exists("/flash/bin")) << "directories stay";
    EXPECT_TRUE(p.files.empty());

    // Relative records are removed below the current directory, where they were placed.
    makeDirectories("/ram/root/bin");
    ASSERT_EQ(chdir("/ram/root"), 0);
    writeFile("/ram/root/bin/tool", "x");
    writeFile("/flash/bin/tool", "target's own");
    p.files = {"./bin/tool"};
    InstallationRoot here = InstallationRoot::currentDirectory();
    ASSERT_TRUE(p.makeDatabaseDirectory(here) && p.save(here, p.reports));
    EXPECT_EQ(fileContents("/ram/root/flash/var/pdb/tool/version"), "34170395 1234567890\n");
    p.remove(here);
    EXPECT_FALSE(exists("/ram/root/bin/tool") || exists("/ram/root/flash/var/pdb/tool"));
    EXPECT_EQ(fileContents("/flash/bin/tool"), "target's own");

    // Links on the target lead out of /flash in a plain lookup; not here.
    makeDirectories("/tmp/outside");
    writeFile("/tmp/outside/passwd", "precious");
    ASSERT_EQ(symlink("/tmp/outside", "/flash/lnk"), 0);
    ASSERT_EQ(symlink("/tmp/outside", "/flash/var/pdb/evil"), 0);
    InstalledPackage evil;
    evil.name = "evil";
    evil.files = {"/lnk/passwd", "/../tmp/outside/passwd", "/lnk"};
    evil.remove();
    EXPECT_EQ(fileContents("/tmp/outside/passwd"), "precious");
    EXPECT_FALSE(exists("/flash/lnk")) << "the recorded link itself is the package's";
}
