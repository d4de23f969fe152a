// Unpacking archives below /flash, in a sandbox with tmpfs at /flash and /ram.
#include "repository/repository.h"

#include "testbed/support/private_root.h"
#include "testbed/support/repository_console.h"

using namespace installer;
using testpkg::Draft;

namespace {

const uint32_t dirTime = 1100000000, fileTime = 1200000000;

struct stat statOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool extract(Repository& repository, InstalledPackage& package, const Draft& draft,
             bool unregistered = false) {
    testpkg::MemoryReader in(draft.unsignedFile());
    bool disabled = package.disabled, read = readHeader(package, in.reader);
    package.disabled = disabled;
    return read && in.reader.kind() == partArchive &&
           repository.extractFiles(package, in.reader, unregistered, InstallationRoot::target());
}

void addOwner(Repository& repository, const std::string& name, const std::string& path) {
    auto owner = std::make_unique<InstalledPackage>();
    owner->name = name;
    owner->files = {path};
    repository.add(std::move(owner));
}

} // namespace

TEST(ExtractFiles, EveryEntryTypeGetsItsModeOwnerAndTime) {
    sandbox::run([] {
        Draft draft; // a device's number is a little-endian word: major 4 minor 1, 3 and 0
        draft.entries = {{040750, "etc", "", 5, 6, dirTime},
                         {0100640, "etc/conf", "hello", 7, 8, fileTime},
                         {0104755, "/sbin/setuid", "#!", 0, 0, fileTime},
                         {0120777, "bin/sh", "busybox", 9, 10, fileTime},
                         {020620, "dev/tty1", std::string("\1\4\0\0", 4), 0, 5, fileTime},
                         {060660, "dev/hda", std::string("\0\3\0\0", 4), 0, 6, fileTime},
                         {010600, "run/fifo", "ignored", 11, 12, fileTime},
                         {0100644, "skipped", "data", 0, 0, fileTime, true},
                         testpkg::regular("big", std::string(100000, 'b'))};
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, draft));

        struct stat dir = statOf("/flash/etc"), file = statOf("/flash/etc/conf");
        EXPECT_EQ(dir.st_mode, 040750u);
        EXPECT_EQ(dir.st_uid, 5u);
        EXPECT_EQ(dir.st_mtime, dirTime) << "set again after the file inside was written";
        EXPECT_EQ(fileContents("/flash/etc/conf"), "hello");
        EXPECT_EQ(file.st_mode, 0100640u);
        EXPECT_EQ(file.st_uid * 100 + file.st_gid, 708u);
        EXPECT_EQ(file.st_mtime, fileTime);
        EXPECT_EQ(file.st_atime, fileTime);
        EXPECT_EQ(statOf("/flash/sbin/setuid").st_mode, 0104755u) << "mode set after owner";
        EXPECT_EQ(fileContents("/flash/big"), std::string(100000, 'b'));

        struct stat link = statOf("/flash/bin/sh");
        EXPECT_TRUE(S_ISLNK(link.st_mode));
        EXPECT_EQ(link.st_uid * 100 + link.st_gid, 910u) << "owner set on the link itself";
        char target[16] = {};
        EXPECT_EQ(readlink("/flash/bin/sh", target, sizeof target), 7);
        EXPECT_STREQ(target, "busybox");

        struct stat tty = statOf("/flash/dev/tty1"), disk = statOf("/flash/dev/hda");
        EXPECT_EQ(tty.st_mode, 020620u);
        EXPECT_EQ(tty.st_rdev, makedev(4, 1));
        EXPECT_EQ(disk.st_mode, 060660u);
        EXPECT_EQ(disk.st_rdev, makedev(3, 0));
        EXPECT_EQ(statOf("/flash/run/fifo").st_mode, 010600u);
        EXPECT_FALSE(exists("/flash/skipped"));
        EXPECT_EQ(package.files, (std::set<std::string>{"/big", "/bin/sh", "/dev/hda", "/dev/tty1",
                                                        "/etc/conf", "/run/fifo", "/sbin/setuid"}))
            << "directories are never recorded";
        EXPECT_EQ(console.messages(), "");
    });
}

TEST(ExtractFiles, ExistingObjectsAreReusedReplacedOrLeftByWhoOwnsThem) {
    sandbox::run([] {
        makeDirectories("/flash/etc");
        chmod("/flash/etc", 0700);
        for (std::string f : {"passwd", "motd", "shadow"})
            writeFile("/flash/etc/" + f, "old " + f);
        ASSERT_EQ(symlink("/etc/shadow", "/flash/etc/issue"), 0);
        Draft draft;
        draft.entries = {{040755, "etc", "", 3, 3, dirTime},
                         testpkg::regular("etc/passwd", "new"),
                         testpkg::regular("etc/motd", "new"),
                         testpkg::regular("etc/issue", "new")};
        Repository repository;
        testconsole::CapturedConsole console(repository);
        addOwner(repository, "base", "/etc/passwd");
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, draft));
        struct stat dir = statOf("/flash/etc");
        EXPECT_EQ(dir.st_mode & 07777, 0700u) << "an existing directory keeps its mode";
        EXPECT_NE(dir.st_mtime, dirTime);
        EXPECT_EQ(fileContents("/flash/etc/passwd"), "old passwd")
            << "another package's file stays";
        EXPECT_EQ(fileContents("/flash/etc/motd"), "new") << "a ghost is replaced";
        EXPECT_TRUE(S_ISREG(statOf("/flash/etc/issue").st_mode)) << "the link itself replaced";
        EXPECT_EQ(fileContents("/flash/etc/shadow"), "old shadow");
        EXPECT_EQ(package.files, (std::set<std::string>{"/etc/issue", "/etc/motd"}));
        EXPECT_EQ(console.messages(), "WARNING: file /etc/passwd collides with base package\n"
                                      "WARNING: ghost file /etc/motd\n"
                                      "WARNING: ghost file /etc/issue\n");

        // An unregistered package replaces whatever is there, without a word.
        Repository second;
        testconsole::CapturedConsole quiet(second);
        addOwner(second, "base", "/etc/passwd");
        InstalledPackage unregistered;
        ASSERT_TRUE(extract(second, unregistered, draft, true));
        EXPECT_EQ(fileContents("/flash/etc/passwd"), "new");
        EXPECT_EQ(quiet.messages(), "");
    });
}

TEST(ExtractFiles, DisabledPackageIsUnpackedBelowX) {
    sandbox::run([] {
        Draft draft;
        draft.name = "extra";
        draft.entries = {testpkg::regular("bin/tool", "t"), testpkg::regular("/etc/x", "x")};
        Repository repository;
        InstalledPackage package;
        package.disabled = true;
        ASSERT_TRUE(extract(repository, package, draft));
        EXPECT_EQ(fileContents("/flash/x/extra/bin/tool"), "t");
        EXPECT_TRUE(exists("/flash/x/extra/var/pdb/extra"));
        EXPECT_FALSE(exists("/flash/bin/tool"));
        EXPECT_EQ(package.files, (std::set<std::string>{"/x/extra/bin/tool", "/x/extra/etc/x"}));
    });
}

TEST(ExtractFiles, CutShortUnknownOrUncreatableEntriesFail) {
    sandbox::run(
        [] {
            std::string file = testpkg::archiveContent({testpkg::regular("f", "12345")});
            std::string broken = "ERROR: installation of cut-1.0 failed: broken package\n";
            std::vector<std::pair<std::string, std::string>> cases = {
                {file.substr(0, 31), broken}, // name cut short
                {file.substr(0, file.size() - 1), broken},
                {testpkg::archiveContent({{020644, "dev/x", "abc"}}), broken},
                {testpkg::archiveContent({{0170644, "weird", ""}}), broken},
                {testpkg::archiveContent({{0140644, "socket", ""}}), broken},
                {testpkg::archiveContent({testpkg::link("l", std::string(5000, 'a'))}), broken},
                {testpkg::archiveContent({testpkg::regular("plain/x", "")}),
                 "ERROR: installation of cut-1.0 failed: could not create plain/x: Not a "
                 "directory\n"},
                {testpkg::archiveContent({testpkg::regular("huge", std::string(400000, 'z'))}),
                 "ERROR: installation of cut-1.0 failed: disk is too small\n"},
            };
            writeFile("/flash/plain", "a file where a directory should be");
            for (auto& [archive, message] : cases) {
                Draft draft;
                draft.name = "cut";
                draft.rawArchive = testpkg::compressed(archive);
                Repository repository;
                testconsole::CapturedConsole console(repository);
                InstalledPackage package;
                EXPECT_FALSE(extract(repository, package, draft));
                EXPECT_EQ(console.messages(), message);
                package.remove(); // what was created is recorded for this
                EXPECT_FALSE(exists("/flash/f") || exists("/flash/huge"));
            }
        },
        "size=256k");
}
