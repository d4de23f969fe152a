// Hostile packages: whatever a package holds, and whatever links earlier packages left on the
// target, nothing outside the installation root is created, written, changed or deleted, also
// when the package carries a valid signature. Each test runs in a sandbox whose /tmp/outside
// and /ram stand for the rest of the machine.
#include "repository/repository.h"

#include "package/record_header.h"
#include "package/record_test_packages.h"
#include "package/record_test_sandbox.h"
#include "repository/test_console.h"
#include "repository/test_signing.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <map>

using namespace installer;
using sandbox::exists;
using sandbox::readFile;
using sandbox::writeFile;
using testpkg::Spec;

namespace {

// Everything outside /flash that a package could reach: path → type, mode, owner, time, size,
// link target and contents.
void snapshot(const std::string& path, std::map<std::string, std::string>& out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                        std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode))
        facts += " " + readFile(path);
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target);
        facts += " -> " + std::string(target, n > 0 ? size_t(n) : 0);
    }
    out[path] = facts;
    if (!S_ISDIR(st.st_mode))
        return;
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            names.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string& name : names) {
        std::string child = (path == "/" ? "" : path) + "/" + name;
        // The read-only host folders and the kernel's cannot change; /flash is the root.
        if (child == "/flash" || child == "/proc" || child == "/dev" || child == "/usr" ||
            child == "/etc" || child == "/work")
            continue;
        snapshot(child, out);
    }
}

std::map<std::string, std::string> outsideState() {
    std::map<std::string, std::string> state;
    snapshot("/", state);
    return state;
}

// The machine outside the target: a folder of precious files, and /ram.
void prepareOutside() {
    sandbox::makeDirectory("/tmp/outside");
    writeFile("/tmp/outside/precious", "precious");
    writeFile("/tmp/outside/version", "precious");
    sandbox::makeDirectory("/ram/pdb");
    sandbox::makeDirectory("/flash/var/pdb");
}

bool install(Repository& repository, const std::string& bytes, bool relative = false) {
    testpkg::MemoryReader in(bytes);
    InstalledPackage package;
    if (!readHeader(package, in.reader))
        return false;
    return repository.installContents(package, in.reader, relative);
}

// Installs each package, signed and unsigned, and checks that the outside is as it was.
void expectConfined(const std::vector<std::string>& packages, const std::string& setUp = "") {
    prepareOutside();
    if (!setUp.empty()) {
        ASSERT_EQ(std::system(setUp.c_str()), 0);
    }
    auto before = outsideState();
    Repository repository;
    repository.quiet = true;
    for (const std::string& bytes : packages)
        install(repository, bytes);
    auto after = outsideState();
    EXPECT_EQ(after, before);
    EXPECT_EQ(readFile("/tmp/outside/precious"), "precious");
}

Spec hostile(std::vector<testpkg::Entry> entries, const std::string& name = "evil") {
    Spec spec;
    spec.name = name;
    spec.entries = std::move(entries);
    return spec;
}

} // namespace

TEST(HostilePackage, DotDotNamesAreRefusedAsBroken) {
    Spec spec = hostile({testpkg::regular("ok", "fine"),
                         testpkg::regular("../../tmp/outside/precious", "overwritten"),
                         testpkg::regular("/../ram/dropped", "x")});
    std::string signedBytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        prepareOutside();
        auto before = outsideState();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        EXPECT_FALSE(install(repository, signedBytes));
        EXPECT_EQ(console.messages(), "ERROR: installation of evil-1.0 failed: broken package\n");
        EXPECT_FALSE(exists("/flash/ok")) << "what came before is removed again";
        EXPECT_EQ(outsideState(), before);
    });
}

TEST(HostilePackage, AbsoluteNamesStayBelowTheRoot) {
    Spec spec = hostile({testpkg::regular("/tmp/outside/precious", "overwritten"),
                         testpkg::regular("//ram/dropped", "x")});
    std::string signedBytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        expectConfined({signedBytes});
        EXPECT_EQ(readFile("/flash/tmp/outside/precious"), "overwritten");
        EXPECT_EQ(readFile("/flash/ram/dropped"), "x");
    });
}

TEST(HostilePackage, LinkThePackagePlacedInAParentPathLeadsBackInside) {
    Spec spec = hostile({testpkg::link("escape", "/tmp/outside"),
                         testpkg::link("up", "../../../../tmp/outside"),
                         testpkg::regular("escape/precious", "via absolute link"),
                         testpkg::regular("up/version", "via relative link"),
                         testpkg::regular("escape/new", "new file")});
    std::string signedBytes = testsign::signedFile(spec.parts());
    std::string unsignedBytes = spec.unsignedFile();
    sandbox::run([&] {
        expectConfined({unsignedBytes});
        EXPECT_FALSE(exists("/flash/tmp/outside/precious")) << "removed again, inside";
        expectConfined({signedBytes});
        EXPECT_EQ(readFile("/flash/tmp/outside/precious"), "via absolute link");
        EXPECT_EQ(readFile("/flash/tmp/outside/version"), "via relative link");
    });
}

TEST(HostilePackage, LinkAlreadyOnTheTargetLeadsBackInside) {
    // An earlier package (made and signed with the package tool) left /etc as a link to a
    // folder outside; the next one writes below /etc.
    std::string folder = "/tmp/hostile-rpx-" + std::to_string(getpid());
    ASSERT_EQ(std::system(("mkdir -p " + folder + "/tree " + folder + "/tree2/etc && ln -s " +
                           "/tmp/outside " + folder + "/tree/etc && echo overwritten > " + folder +
                           "/tree2/etc/precious")
                              .c_str()),
              0);
    writeFile(folder + "/linker.m", "name: linker\nversion: 1.0\nbuild-time: 1\n");
    writeFile(folder + "/writer.m", "name: writer\nversion: 1.0\nbuild-time: 1\n");
    ASSERT_TRUE(testsign::rpx("build --manifest " + folder + "/linker.m --tree " + folder +
                              "/tree --output " + folder + "/linker.rpx"));
    ASSERT_TRUE(testsign::rpx("build --manifest " + folder + "/writer.m --tree " + folder +
                              "/tree2 --output " + folder + "/writer.rpx"));
    ASSERT_TRUE(testsign::rpxSign(folder + "/linker.rpx"));
    std::string writerUnsigned = testsign::slurp(folder + "/writer.rpx");
    ASSERT_TRUE(testsign::rpxSign(folder + "/writer.rpx"));
    std::string linker = testsign::slurp(folder + "/linker.rpx");
    std::string writer = testsign::slurp(folder + "/writer.rpx");
    std::system(("rm -rf " + folder).c_str());
    sandbox::run([&] {
        // Inside the target the link leads nowhere: it is a ghost, replaced by the directory.
        expectConfined({linker, writerUnsigned, writer});
        EXPECT_EQ(readFile("/flash/etc/precious"), "overwritten\n");
    });
    sandbox::run([&] {
        // The same link made by hand, leading to a folder that exists inside the target too:
        // the directory is reused through the link, inside.
        expectConfined({linker, writerUnsigned, writer},
                       "mkdir -p /flash/tmp/outside && ln -s /tmp/outside /flash/etc");
        EXPECT_EQ(readFile("/flash/tmp/outside/precious"), "overwritten\n");
        EXPECT_TRUE(S_ISLNK([] {
            struct stat st = {};
            lstat("/flash/etc", &st);
            return st.st_mode;
        }()));
    });
}

TEST(HostilePackage, LinkAtTheEntrysOwnPathIsReplacedNotWrittenThrough) {
    Spec spec = hostile({testpkg::regular("etc/passwd", "overwritten"),
                         testpkg::regular("etc/owned", "overwritten")});
    std::string signedBytes = testsign::signedFile(spec.parts());
    sandbox::run([&] {
        prepareOutside();
        sandbox::makeDirectory("/flash/etc");
        ASSERT_EQ(symlink("/tmp/outside/precious", "/flash/etc/passwd"), 0);
        ASSERT_EQ(symlink("/tmp/outside/version", "/flash/etc/owned"), 0);
        auto before = outsideState();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        auto base = std::make_unique<InstalledPackage>();
        base->name = "base";
        base->files = {"/etc/owned"};
        repository.add(std::move(base));
        EXPECT_TRUE(install(repository, signedBytes));
        EXPECT_EQ(outsideState(), before);
        EXPECT_EQ(readFile("/flash/etc/passwd"), "overwritten") << "the ghost link is replaced";
        char target[64] = {};
        EXPECT_GT(readlink("/flash/etc/owned", target, sizeof target), 0) << "owned link stays";
        EXPECT_EQ(console.messages(), "WARNING: ghost file /etc/passwd\n"
                                      "WARNING: file /etc/owned collides with base package\n"
                                      "installed evil-1.0\n");
    });
}

TEST(HostilePackage, LinkOverItsOwnDatabaseDirectoryCannotRedirectTheRecord) {
    // The package replaces its (still empty) database directory by a link to the outside, so
    // that a plain lookup would write the record there and delete the folder's files on
    // removal.
    Spec spec = hostile({testpkg::link("var/pdb/evil", "/tmp/outside")});
    std::string signedBytes = testsign::signedFile(spec.parts());
    std::string unsignedBytes = spec.unsignedFile();
    sandbox::run([&] { expectConfined({unsignedBytes}); });
    sandbox::run([&] { expectConfined({signedBytes}); });
}

TEST(HostilePackage, RelativeInstallationStaysBelowTheCurrentDirectory) {
    Spec spec = hostile({testpkg::regular("/tmp/outside/precious", "overwritten"),
                         testpkg::link("lnk", "/tmp/outside"),
                         testpkg::regular("lnk/version", "overwritten")});
    std::string signedBytes = testsign::signedFile(spec.parts());
    std::string unsignedBytes = spec.unsignedFile();
    sandbox::run([&] {
        prepareOutside();
        sandbox::makeDirectory("/ram/root");
        ASSERT_EQ(chdir("/ram/root"), 0);
        writeFile("/flash/keep", "target");
        auto before = outsideState();
        Repository repository;
        repository.quiet = true;
        EXPECT_FALSE(install(repository, unsignedBytes, true));
        EXPECT_TRUE(install(repository, signedBytes, true));
        auto after = outsideState();
        for (auto& [path, facts] : before) {
            if (!path.starts_with("/ram")) {
                EXPECT_EQ(after[path], facts) << path;
            }
        }
        EXPECT_EQ(readFile("/ram/root/tmp/outside/precious"), "overwritten");
        EXPECT_EQ(readFile("/ram/root/tmp/outside/version"), "overwritten");
        EXPECT_EQ(readFile("/flash/keep"), "target");
    });
}

TEST(HostilePackage, AbsurdLengthsFailAsBrokenWithoutExhaustingMemory) {
    // A script, an archive and a file entry that each claim nearly 4 GiB in a small file.
    std::string header =
        partBytes(partHeader, headerBodyBytes({"huge", makeVersion(1, 0, 'f', 0), 1}));
    std::string script =
        packageFileBytes(header + partHeaderBytes(partOnInstall, 0xfffffff0u) + "echo short\n");
    std::string archive = packageFileBytes(
        header + partHeaderBytes(partArchive, 0xfffffff0u) +
        testpkg::compressed(testpkg::archiveContent({testpkg::regular("a", "x")})));
    testpkg::Entry entry = testpkg::regular("big", "only a few bytes");
    std::string raw = testpkg::archiveContent({entry});
    storeLe32(reinterpret_cast<uint8_t*>(raw.data()) + 24, 0xffffffffu);
    Spec bigEntry;
    bigEntry.name = "huge";
    bigEntry.rawArchive = testpkg::compressed(raw);
    std::string entryBytes = testsign::signedFile(bigEntry.parts());
    sandbox::run([&] {
        prepareOutside();
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        long before = usage.ru_maxrss;
        for (const std::string& bytes : {script, archive, entryBytes}) {
            Repository repository;
            testconsole::CapturedConsole console(repository);
            EXPECT_FALSE(install(repository, bytes));
            EXPECT_EQ(console.messages(),
                      "ERROR: installation of huge-1.0 failed: broken package\n");
            EXPECT_FALSE(exists("/flash/var/pdb/huge"));
            EXPECT_FALSE(exists("/flash/a"));
            EXPECT_FALSE(exists("/flash/big"));
        }
        getrusage(RUSAGE_SELF, &usage);
        EXPECT_LT(usage.ru_maxrss - before, 64 * 1024) << "kilobytes of peak memory";
    });
}
