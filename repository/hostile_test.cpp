// Hostile packages: whatever a package holds and whatever links are already on the target,
// nothing outside the installation root is created, written, changed or deleted, also when the
// package is validly signed. In the sandbox, /tmp/outside and /ram stand for the machine.
#include "repository/repository.h"

#include "testbed/support/private_root.h"
#include "testbed/support/repository_console.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <map>

using namespace installer;
using testconsole::install;
using testpkg::Draft;

namespace {

// Runs the package tool; true when it exits 0.
bool rpx(const std::string& arguments) {
    return std::system((std::string(RPX_BINARY) + " " + arguments + " >/dev/null").c_str()) == 0;
}

// Every object outside /flash (and the read-only host folders): type, mode, owner, size,
// time, link target and contents.
void snapshot(const std::string& path, std::map<std::string, std::string>& out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    std::string& facts = out[path];
    facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
            std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_nsec) +
            std::to_string(st.st_mtim.tv_sec);
    char target[4096];
    ssize_t n = S_ISLNK(st.st_mode) ? readlink(path.c_str(), target, sizeof target) : 0;
    facts += std::string(target, n > 0 ? size_t(n) : 0) +
             (S_ISREG(st.st_mode) ? fileContents(path) : "");
    DIR* dir = S_ISDIR(st.st_mode) ? opendir(path.c_str()) : nullptr;
    std::vector<std::string> children;
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        if (entry->d_name[0] != '.' || (entry->d_name[1] && entry->d_name[1] != '.'))
            children.push_back((path == "/" ? "" : path) + "/" + entry->d_name);
    if (dir)
        closedir(dir);
    std::vector<std::string> readOnly = sandbox::hostTrees();
    for (const std::string& child : children)
        if (child != "/flash" && child != "/proc" && child != "/dev" &&
            std::find(readOnly.begin(), readOnly.end(), child) == readOnly.end())
            snapshot(child, out);
}

std::map<std::string, std::string> outside() {
    std::map<std::string, std::string> state;
    snapshot("/", state);
    return state;
}

// Installs the packages in turn (after `setUp`) and checks that nothing outside changed.
void expectConfined(const std::vector<std::string>& packages, const std::string& setUp = "") {
    ASSERT_EQ(std::system(("mkdir -p /tmp/outside /ram/pdb /flash/var/pdb && echo precious > "
                           "/tmp/outside/precious && echo precious > /tmp/outside/version " +
                           setUp)
                              .c_str()),
              0);
    auto before = outside();
    Repository repository;
    repository.quiet = true;
    for (const std::string& bytes : packages) {
        InstalledPackage package;
        install(repository, package, bytes);
    }
    EXPECT_EQ(outside(), before);
}

Draft hostile(std::vector<testpkg::Entry> entries) {
    Draft draft;
    draft.name = "evil";
    draft.entries = std::move(entries);
    return draft;
}

} // namespace

TEST(HostilePackage, DotDotNamesAreBrokenAndAbsoluteNamesStayInside) {
    Draft dotdot = hostile({testpkg::regular("ok", "fine"),
                            testpkg::regular("../../tmp/outside/precious", "overwritten")});
    Draft absolute = hostile({testpkg::regular("/tmp/outside/precious", "overwritten"),
                              testpkg::regular("//ram/dropped", "x")});
    std::string dotdotBytes = dotdot.signedFile();
    std::string absoluteBytes = absolute.signedFile();
    sandbox::run([&] {
        Repository repository;
        testconsole::CapturedConsole console(repository);
        InstalledPackage package;
        EXPECT_FALSE(install(repository, package, dotdotBytes));
        EXPECT_EQ(console.messages(), "ERROR: installation of evil-1.0 failed: broken package\n");
        EXPECT_FALSE(exists("/flash/ok")) << "what came before is removed again";
        expectConfined({dotdotBytes, absoluteBytes});
        EXPECT_EQ(fileContents("/flash/tmp/outside/precious"), "overwritten");
        EXPECT_EQ(fileContents("/flash/ram/dropped"), "x");
    });
}

TEST(HostilePackage, LinksInParentPathsLeadBackInsideTheRoot) {
    Draft draft = hostile({testpkg::link("escape", "/tmp/outside"),
                           testpkg::link("up", "../../../../tmp/outside"),
                           testpkg::regular("escape/precious", "via absolute link"),
                           testpkg::regular("up/version", "via relative link")});
    std::string signedBytes = draft.signedFile(), unsignedBytes = draft.unsignedFile();
    sandbox::run([&] {
        expectConfined({unsignedBytes});
        EXPECT_FALSE(exists("/flash/tmp/outside/precious")) << "removed again, inside";
        expectConfined({signedBytes});
        EXPECT_EQ(fileContents("/flash/tmp/outside/precious"), "via absolute link");
        EXPECT_EQ(fileContents("/flash/tmp/outside/version"), "via relative link");
    });

    // An earlier package, made and signed with the package tool, left /etc as a link to the
    // outside; the next one writes below /etc.
    std::string folder = "/tmp/hostile-rpx-" + std::to_string(getpid());
    ASSERT_EQ(
        std::system(("mkdir -p " + folder + "/a " + folder + "/b/etc && ln -s /tmp/outside " +
                     folder + "/a/etc && echo overwritten > " + folder + "/b/etc/precious && " +
                     "printf 'name: linker\\nversion: 1.0\\n' > " + folder + "/a.m && " +
                     "printf 'name: writer\\nversion: 1.0\\n' > " + folder + "/b.m")
                        .c_str()),
        0);
    for (std::string p : {"a", "b"})
        ASSERT_TRUE(rpx("build --manifest " + folder + "/" + p + ".m --tree " + folder + "/" + p +
                        " --output " + folder + "/" + p + ".rpx") &&
                    rpx("sign --key " DEV_SECRET_KEY " " + folder + "/" + p + ".rpx"));
    std::string linker = fileContents(folder + "/a.rpx"), writer = fileContents(folder + "/b.rpx");
    std::system(("rm -rf " + folder).c_str());
    sandbox::run([&] {
        // Inside the target that link leads nowhere: a ghost, replaced by the directory.
        expectConfined({linker, writer});
        EXPECT_EQ(fileContents("/flash/etc/precious"), "overwritten\n");
    });
    sandbox::run([&] {
        // A link that leads to a folder existing inside the target too is used, inside.
        expectConfined({linker, writer}, "&& mkdir -p /flash/tmp/outside");
        EXPECT_EQ(fileContents("/flash/tmp/outside/precious"), "overwritten\n");
    });
}

TEST(HostilePackage, LinksAtTheEntrysOwnPathOrOverTheRecordAreNeverFollowed) {
    Draft draft = hostile({testpkg::regular("etc/passwd", "overwritten"),
                           testpkg::regular("etc/owned", "overwritten")});
    // The package swaps its still empty database directory for a link to the outside, so that
    // a plain lookup would write its record there and empty that folder on removal.
    Draft record = hostile({testpkg::link("var/pdb/evil", "/tmp/outside")});
    std::string passwd = draft.signedFile();
    std::vector<std::string> records = {record.unsignedFile(), record.signedFile()};
    sandbox::run([&] {
        expectConfined({}, "&& mkdir /flash/etc && ln -s /tmp/outside/precious /flash/etc/passwd"
                           " && ln -s /tmp/outside/version /flash/etc/owned");
        auto before = outside();
        Repository repository;
        testconsole::CapturedConsole console(repository);
        auto base = std::make_unique<InstalledPackage>();
        base->name = "base";
        base->files = {"/etc/owned"};
        repository.add(std::move(base));
        InstalledPackage package;
        EXPECT_TRUE(install(repository, package, passwd));
        EXPECT_EQ(outside(), before);
        EXPECT_EQ(fileContents("/flash/etc/passwd"), "overwritten") << "the ghost link is replaced";
        EXPECT_EQ(console.messages(), "WARNING: ghost file /etc/passwd\n"
                                      "WARNING: file /etc/owned collides with base package\n"
                                      "installed evil-1.0\n");
        expectConfined(records);
    });
}

TEST(HostilePackage, RelativeInstallationStaysBelowTheCurrentDirectory) {
    Draft draft = hostile({testpkg::regular("/tmp/outside/precious", "overwritten"),
                           testpkg::link("lnk", "/tmp/outside"),
                           testpkg::regular("lnk/version", "overwritten")});
    std::string signedBytes = draft.signedFile(), unsignedBytes = draft.unsignedFile();
    sandbox::run([&] {
        expectConfined({}, "&& mkdir /ram/root && echo target > /flash/keep");
        ASSERT_EQ(chdir("/ram/root"), 0);
        auto before = outside();
        Repository repository;
        repository.quiet = true;
        InstalledPackage failing, package;
        EXPECT_FALSE(install(repository, failing, unsignedBytes, true));
        EXPECT_TRUE(install(repository, package, signedBytes, true));
        auto after = outside();
        std::erase_if(before, [](auto& entry) { return entry.first.starts_with("/ram"); });
        std::erase_if(after, [](auto& entry) { return entry.first.starts_with("/ram"); });
        EXPECT_EQ(after, before);
        EXPECT_EQ(fileContents("/ram/root/tmp/outside/precious"), "overwritten");
        EXPECT_EQ(fileContents("/ram/root/tmp/outside/version"), "overwritten");
        EXPECT_EQ(fileContents("/flash/keep"), "target\n");
    });
}

TEST(HostilePackage, AbsurdLengthsFailAsBrokenWithoutExhaustingMemory) {
    // A script, an archive and a file entry that each claim nearly 4 GiB in a small file.
    std::string header =
        partBytes(partHeader, headerBodyBytes({"huge", makeVersion(1, 0, 'f', 0), 1}));
    std::string raw = testpkg::archiveContent({testpkg::regular("big", "only a few bytes")});
    storeLe32(reinterpret_cast<uint8_t*>(raw.data()) + 24, 0xffffffffu);
    std::vector<std::string> packages = {
        packageFileBytes(header + partHeaderBytes(partOnInstall, 0xfffffff0u) + "echo short\n"),
        packageFileBytes(
            header + partHeaderBytes(partArchive, 0xfffffff0u) +
            testpkg::compressed(testpkg::archiveContent({testpkg::regular("a", "x")}))),
        packageFileBytes(
            testsign::signParts(header + partBytes(partArchive, testpkg::compressed(raw))))};
    sandbox::run([&] {
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        long before = usage.ru_maxrss;
        for (const std::string& bytes : packages) {
            Repository repository;
            testconsole::CapturedConsole console(repository);
            InstalledPackage package;
            EXPECT_FALSE(install(repository, package, bytes));
            EXPECT_EQ(console.messages(),
                      "ERROR: installation of huge-1.0 failed: broken package\n");
            EXPECT_FALSE(exists("/flash/var/pdb/huge") || exists("/flash/a") ||
                         exists("/flash/big"));
        }
        getrusage(RUSAGE_SELF, &usage);
        EXPECT_LT(usage.ru_maxrss - before, 64 * 1024) << "kilobytes of peak memory";
    });
}
