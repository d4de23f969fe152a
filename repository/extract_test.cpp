// Unpacking archives below /flash, in a sandbox with tmpfs at /flash and /ram.
#include "repository/repository.h"

#include "package/record_header.h"
#include "package/record_test_packages.h"
#include "package/record_test_sandbox.h"
#include "repository/test_console.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace installer;
using sandbox::exists;
using sandbox::readFile;
using sandbox::writeFile;
using testpkg::Entry;
using testpkg::Spec;

namespace {

const uint32_t dirTime = 1100000000;
const uint32_t fileTime = 1200000000;

struct stat statOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Reads the package's header parts and unpacks its archive as an installation does.
bool extract(Repository& repository, InstalledPackage& package, const Spec& spec,
             bool unregistered = false, bool relative = false) {
    testpkg::MemoryReader in(spec.unsignedFile());
    bool wasDisabled = package.disabled;
    if (!readHeader(package, in.reader) || in.reader.kind() != partArchive)
        return false;
    package.disabled = wasDisabled;
    return repository.extractFiles(package, in.reader, unregistered, relative);
}

std::string deviceNumber(uint32_t number) {
    uint8_t bytes[4];
    storeLe32(bytes, number);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

} // namespace

TEST(ExtractFiles, EveryEntryTypeGetsItsModeOwnerAndTime) {
    sandbox::run([] {
        Spec spec;
        spec.entries = {
            {040750, "etc", "", 5, 6, dirTime},
            {0100640, "etc/conf", "hello", 7, 8, fileTime},
            {0104755, "/sbin/setuid", "#!", 0, 0, fileTime},
            {0120777, "bin/sh", "busybox", 9, 10, fileTime},
            {020620, "dev/tty1", deviceNumber(0x0401), 0, 5, fileTime},
            {060660, "dev/hda", deviceNumber(0x0300), 0, 6, fileTime},
            {010600, "run/fifo", "ignored", 11, 12, fileTime},
            {0100644, "skipped", "data", 0, 0, fileTime, true},
        };
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, spec));

        struct stat dir = statOf("/flash/etc");
        EXPECT_TRUE(S_ISDIR(dir.st_mode));
        EXPECT_EQ(dir.st_mode & 07777, 0750u);
        EXPECT_EQ(dir.st_uid, 5u);
        EXPECT_EQ(dir.st_mtime, dirTime) << "set again after the file inside was written";

        struct stat file = statOf("/flash/etc/conf");
        EXPECT_EQ(readFile("/flash/etc/conf"), "hello");
        EXPECT_EQ(file.st_mode & 07777, 0640u);
        EXPECT_EQ(file.st_uid, 7u);
        EXPECT_EQ(file.st_gid, 8u);
        EXPECT_EQ(file.st_mtime, fileTime);
        EXPECT_EQ(file.st_atime, fileTime);
        EXPECT_EQ(statOf("/flash/sbin/setuid").st_mode & 07777, 04755u) << "mode after owner";

        struct stat link = statOf("/flash/bin/sh");
        EXPECT_TRUE(S_ISLNK(link.st_mode));
        EXPECT_EQ(link.st_uid, 9u) << "owner set on the link itself";
        EXPECT_EQ(link.st_gid, 10u);
        char target[64] = {};
        ASSERT_GT(readlink("/flash/bin/sh", target, sizeof target), 0);
        EXPECT_STREQ(target, "busybox");

        struct stat tty = statOf("/flash/dev/tty1");
        EXPECT_TRUE(S_ISCHR(tty.st_mode));
        EXPECT_EQ(major(tty.st_rdev), 4u);
        EXPECT_EQ(minor(tty.st_rdev), 1u);
        EXPECT_EQ(tty.st_mode & 07777, 0620u);
        struct stat disk = statOf("/flash/dev/hda");
        EXPECT_TRUE(S_ISBLK(disk.st_mode));
        EXPECT_EQ(major(disk.st_rdev), 3u);
        EXPECT_TRUE(S_ISFIFO(statOf("/flash/run/fifo").st_mode));
        EXPECT_EQ(statOf("/flash/run/fifo").st_uid, 11u);

        EXPECT_FALSE(exists("/flash/skipped"));
        EXPECT_EQ(package.files, (std::set<std::string>{"/bin/sh", "/dev/hda", "/dev/tty1",
                                                        "/etc/conf", "/run/fifo", "/sbin/setuid"}))
            << "directories are never recorded";
        EXPECT_EQ(console.messages(), "") << "no warnings";
    });
}

TEST(ExtractFiles, ExistingDirectoryIsReusedAsItIs) {
    sandbox::run([] {
        sandbox::makeDirectory("/flash/etc");
        chmod("/flash/etc", 0700);
        Spec spec;
        spec.entries = {{040755, "etc", "", 3, 3, dirTime}};
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, spec));
        struct stat dir = statOf("/flash/etc");
        EXPECT_EQ(dir.st_mode & 07777, 0700u);
        EXPECT_EQ(dir.st_uid, 0u);
        EXPECT_NE(dir.st_mtime, dirTime);
        EXPECT_EQ(console.messages(), "");
    });
}

TEST(ExtractFiles, FileOfAnotherPackageStaysAndCollides) {
    sandbox::run([] {
        sandbox::makeDirectory("/flash/etc");
        writeFile("/flash/etc/passwd", "root entry");
        Repository repository;
        testconsole::CapturedConsole console(repository);
        auto base = std::make_unique<InstalledPackage>();
        base->name = "base";
        base->files = {"/etc/passwd"};
        repository.add(std::move(base));
        Spec spec;
        spec.name = "intruder";
        spec.entries = {testpkg::regular("etc/passwd", "replaced"),
                        testpkg::regular("etc/other", "new")};
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, spec));
        EXPECT_EQ(readFile("/flash/etc/passwd"), "root entry");
        EXPECT_EQ(readFile("/flash/etc/other"), "new") << "the entry after it is unpacked";
        EXPECT_EQ(package.files, (std::set<std::string>{"/etc/other"}));
        EXPECT_EQ(console.messages(), "WARNING: file /etc/passwd collides with base package\n");
    });
}

TEST(ExtractFiles, GhostFileIsReplacedWithAWarning) {
    sandbox::run([] {
        sandbox::makeDirectory("/flash/etc");
        writeFile("/flash/etc/motd", "left over");
        ASSERT_EQ(symlink("/etc/shadow", "/flash/etc/issue"), 0);
        Spec spec;
        spec.entries = {testpkg::regular("etc/motd", "welcome"),
                        testpkg::regular("etc/issue", "router")};
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, spec));
        EXPECT_EQ(readFile("/flash/etc/motd"), "welcome");
        EXPECT_FALSE(S_ISLNK(statOf("/flash/etc/issue").st_mode)) << "the link is replaced";
        EXPECT_EQ(readFile("/flash/etc/issue"), "router");
        EXPECT_EQ(package.files, (std::set<std::string>{"/etc/issue", "/etc/motd"}));
        EXPECT_EQ(console.messages(),
                  "WARNING: ghost file /etc/motd\nWARNING: ghost file /etc/issue\n");
    });
}

TEST(ExtractFiles, UnregisteredPackageReplacesWhateverIsThereSilently) {
    sandbox::run([] {
        sandbox::makeDirectory("/flash/etc");
        writeFile("/flash/etc/passwd", "old");
        Repository repository;
        testconsole::CapturedConsole console(repository);
        auto base = std::make_unique<InstalledPackage>();
        base->name = "base";
        base->files = {"/etc/passwd"};
        repository.add(std::move(base));
        Spec spec;
        spec.entries = {testpkg::regular("etc/passwd", "new")};
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, spec, true));
        EXPECT_EQ(readFile("/flash/etc/passwd"), "new");
        EXPECT_EQ(console.messages(), "");
    });
}

TEST(ExtractFiles, DisabledPackageIsUnpackedBelowX) {
    sandbox::run([] {
        Spec spec;
        spec.name = "extra";
        spec.entries = {testpkg::regular("bin/tool", "t"), testpkg::regular("/etc/x", "x")};
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        package.disabled = true;
        ASSERT_TRUE(extract(repository, package, spec));
        EXPECT_EQ(readFile("/flash/x/extra/bin/tool"), "t");
        EXPECT_EQ(readFile("/flash/x/extra/etc/x"), "x");
        EXPECT_TRUE(exists("/flash/x/extra/var/pdb/extra"));
        EXPECT_FALSE(exists("/flash/bin/tool"));
        EXPECT_EQ(package.files, (std::set<std::string>{"/x/extra/bin/tool", "/x/extra/etc/x"}));
    });
}

TEST(ExtractFiles, LargeFileIsCopiedWhole) {
    sandbox::run([] {
        std::string data;
        for (int i = 0; data.size() < 300000; ++i)
            data += std::to_string(i * 7919) + ",";
        Spec spec;
        spec.entries = {testpkg::regular("big", data)};
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        ASSERT_TRUE(extract(repository, package, spec));
        EXPECT_EQ(readFile("/flash/big"), data);
    });
}

TEST(ExtractFiles, CutShortOrUnknownEntriesAreBrokenPackages) {
    sandbox::run([] {
        struct Case {
            const char* what;
            std::string archive;
        };
        std::string fileHeader = testpkg::archiveContent({testpkg::regular("f", "12345")});
        std::vector<Case> cases = {
            {"name cut short", fileHeader.substr(0, 31)},
            {"data cut short", fileHeader.substr(0, fileHeader.size() - 1)},
            {"device with 3 bytes", testpkg::archiveContent({{020644, "dev/x", "abc"}})},
            {"unknown type", testpkg::archiveContent({{0170644, "weird", ""}})},
            {"socket", testpkg::archiveContent({{0140644, "sock", ""}})},
            {"oversized link target",
             testpkg::archiveContent({testpkg::link("l", std::string(5000, 'a'))})},
        };
        for (const Case& c : cases) {
            Spec spec;
            spec.name = "cut";
            spec.rawArchive = testpkg::compressed(c.archive);
            Repository repository;
            testconsole::CapturedConsole console(repository);
            InstalledPackage package;
            EXPECT_FALSE(extract(repository, package, spec)) << c.what;
            EXPECT_EQ(console.messages(), "ERROR: installation of cut-1.0 failed: broken package\n")
                << c.what;
            package.remove();
        }
    });
}

TEST(ExtractFiles, ObjectThatCannotBeCreatedNamesTheEntry) {
    sandbox::run(
        [] {
            writeFile("/flash/bin", "a file where a directory should be");
            Spec spec;
            spec.entries = {testpkg::regular("bin/tool", "t")};
            Repository repository;
            testconsole::CapturedConsole console(repository);
            InstalledPackage package;
            EXPECT_FALSE(extract(repository, package, spec));
            EXPECT_EQ(console.messages(), "ERROR: installation of demo-1.0 failed: could not "
                                          "create bin/tool: Not a directory\n");

            Spec big;
            big.entries = {testpkg::regular("huge", std::string(400000, 'z'))};
            Repository second;
            testconsole::CapturedConsole full(second);
            InstalledPackage other;
            EXPECT_FALSE(extract(second, other, big));
            EXPECT_EQ(full.messages(),
                      "ERROR: installation of demo-1.0 failed: disk is too small\n");
            EXPECT_EQ(other.files, (std::set<std::string>{"/huge"})) << "recorded for removal";
        },
        "size=256k");
}
