// Relations between packages, reading header parts and the installation root: in-process.
#include "package/record/package_file.h"
#include "package/record/record_files.h"
#include "package/record/record_header.h"
#include "package/record/record_relations.h"
#include "package/record/record_root.h"

#include "testbed/support/package_drafts.h"
#include "testbed/support/private_root.h"
#include "testbed/support/scratch_files.h"

#include <fcntl.h>

using namespace installer;
using testpkg::Draft;

namespace {

const uint32_t v1 = makeVersion(1, 0, 'f', 0), v2 = makeVersion(2, 0, 'f', 0);

std::unique_ptr<Package> package(const std::string& name, uint32_t version = v1,
                                 std::vector<Requirement> provides = {},
                                 std::vector<Requirement> conflicts = {}) {
    auto p = std::make_unique<Package>();
    p->name = name;
    p->version = version;
    p->provides = std::move(provides);
    p->conflicts = std::move(conflicts);
    return p;
}

} // namespace

TEST(Relations, DependencyIsMetByVersionRangeByProvidesAndThroughBundles) {
    auto app = package("app");
    app->depends = {{"lib", v2, 0, 0}};
    EXPECT_FALSE(dependsOn(*app, *package("lib", v1))) << "below the minimum";
    EXPECT_TRUE(dependsOn(*app, *package("lib", v2)));
    EXPECT_TRUE(dependsOn(*app, *package("other", v1, {{"lib", v2, 0, 0}})));
    EXPECT_FALSE(dependsOn(*app, *package("other", v1, {{"lib", 0, v1, 0}})));
    auto suite = package("suite");
    suite->members.push_back(package("lib", v2));
    EXPECT_TRUE(dependsOn(*app, *suite)) << "a bundle serves what its member serves";
    auto carrier = package("carrier");
    carrier->members.push_back(std::move(app));
    EXPECT_TRUE(dependsOn(*carrier, *package("lib", v2))) << "a member's needs are the bundle's";
}

TEST(Relations, ConflictRulesApplyInOrderAndTheFirstThatAppliesDecides) {
    // 1 before 2: the explicit conflict wins although q provides p's name harmlessly.
    EXPECT_TRUE(conflictsWith(*package("p", v1, {}, {{"q", 0, 0, 0}}),
                              *package("q", v1, {{"p", 0, 0, 5}})));
    EXPECT_FALSE(conflictsWith(*package("p", v1, {}, {{"q", v2, 0, 0}}), *package("q", v1)));
    // 2 and 3: providing another package's name excludes it unless the priority is negative,
    // in which case the named package excludes the provider.
    auto mailer = package("mailer", v1, {{"sendmail", 0, 0, 0}});
    EXPECT_TRUE(conflictsWith(*mailer, *package("sendmail")));
    EXPECT_FALSE(conflictsWith(*package("sendmail"), *mailer));
    mailer->provides[0].priority = -1;
    EXPECT_FALSE(conflictsWith(*mailer, *package("sendmail")));
    EXPECT_TRUE(conflictsWith(*package("sendmail"), *mailer));
    // 3: two providers of one name conflict towards the higher priority, not at all if equal.
    auto a = package("a", v1, {{"httpd", 0, 0, 10}});
    auto b = package("b", v1, {{"httpd", 0, 0, 5}});
    EXPECT_TRUE(conflictsWith(*a, *b));
    EXPECT_FALSE(conflictsWith(*b, *a));
    b->provides[0].priority = 10;
    EXPECT_FALSE(conflictsWith(*a, *b));
    // 3 decides "no" before 4 could say "yes" (q provides what p's conflicts exclude).
    auto p = package("p", v1, {{"shared", 0, 0, 1}}, {{"thing", 0, 0, 0}});
    auto q = package("q", v1, {{"shared", 0, 0, 7}, {"thing", 0, 0, 0}});
    EXPECT_FALSE(conflictsWith(*p, *q));
    p->provides.clear();
    EXPECT_TRUE(conflictsWith(*p, *q)) << "rule 4";
    // 5 and 6: bundles conflict with their members' names, and through their members.
    auto suite = package("suite");
    suite->members.push_back(package("tool", v2));
    EXPECT_TRUE(conflictsWith(*package("tool"), *suite));
    auto carrier = package("carrier");
    carrier->members.push_back(package("guard", v1, {}, {{"victim", 0, 0, 0}}));
    EXPECT_TRUE(conflictsWith(*carrier, *package("victim")));
    EXPECT_FALSE(conflictsWith(*carrier, *package("bystander")));
    EXPECT_TRUE(isOrContains(*suite, "tool") && isOrContains(*suite, "suite"));
    EXPECT_FALSE(isOrContains(*suite, "too"));
}

TEST(ReadHeader, FillsTheHeaderPartsAndDefaultsTheArchitecture) {
    Draft draft;
    draft.name = "sixteen-chars-xy"; // all 16 bytes, no NUL
    draft.architecture = "arm";
    draft.depends = {{"libc", 5, 9, 0}};
    draft.provides = {{"mta", 0, 0, -3}};
    draft.conflicts = {{"other", 1, 0, 0}};
    draft.payload = "payload";
    testpkg::MemoryReader in(draft.unsignedFile());
    Package p;
    ASSERT_TRUE(readHeader(p, in.reader));
    EXPECT_EQ(p.name, "sixteen-chars-xy");
    EXPECT_EQ(p.architecture, "arm");
    EXPECT_EQ(p.depends[0].maxVersion, 9u);
    EXPECT_EQ(p.provides[0].priority, -3);
    EXPECT_EQ(p.conflicts.size(), 1u);
    EXPECT_TRUE(p.hasPayload);
    EXPECT_EQ(in.reader.kind(), partPayload) << "the reader stays on the payload";

    testpkg::MemoryReader plain(Draft().unsignedFile());
    Package q;
    ASSERT_TRUE(readHeader(q, plain.reader));
    EXPECT_EQ(q.architecture, "i386");
}

TEST(ReadHeader, NamesThatWouldEscapeOrCorruptTheDatabaseAreRefused) {
    // A name becomes a directory below /flash/var/pdb/; names are words of the database files.
    for (std::string name : {"..", ".", "a/b", "two words", "tab\there", ""}) {
        Draft draft;
        draft.name = name;
        testpkg::MemoryReader in(draft.unsignedFile());
        Package p;
        EXPECT_FALSE(readHeader(p, in.reader)) << "'" << name << "'";
    }
    Draft draft;
    draft.conflicts = {{"two words", 0, 0, 0}};
    testpkg::MemoryReader in(draft.unsignedFile());
    Package p;
    EXPECT_FALSE(readHeader(p, in.reader));
}

TEST(OpenPackageFile, ReadsPackagesAndBundlesAndRefusesDamagedFiles) {
    ScratchFiles files("record-test");
    Draft tool;
    tool.name = "tool";
    std::string single = files.text("single", tool.unsignedFile(unregisteredMagic));
    PackageFile file;
    ASSERT_TRUE(file.openPackageFile(single));
    EXPECT_EQ(file.sourcePath, single);
    EXPECT_EQ(file.totalSize, tool.unsignedFile().size());
    EXPECT_TRUE(file.unregistered);

    std::string bundle = partBytes(partBundleHeader, headerBodyBytes({"suite", v2, 7})) +
                         partBytes(partPayload, "image") +
                         partBytes(partMembers, requirementListBytes({{"x", 0, 0, 0}}));
    Draft extra;
    extra.name = "extra";
    extra.payload = "image";
    PackageFile b;
    ASSERT_TRUE(b.openPackageFile(
        files.text("suite", packageFileBytes(bundle + tool.parts() + extra.parts()))));
    EXPECT_TRUE(b.isBundle && b.hasPayload);
    ASSERT_EQ(b.members.size(), 2u);
    EXPECT_EQ(b.members[0]->name, "tool");
    EXPECT_EQ(b.members[1]->name, "extra");
    EXPECT_TRUE(b.members[1]->hasPayload);

    std::string bytes = tool.unsignedFile();
    std::string absurd = partBytes(partHeader, headerBodyBytes({"demo", v1, 1})) +
                         partHeaderBytes(partDescription, 0xfffffff0u) + "tiny";
    for (const std::string& damaged : {bytes.substr(0, bytes.size() - 1), bytes + "x",
                                       packageFileBytes(bundle), packageFileBytes(absurd)}) {
        PackageFile p;
        EXPECT_FALSE(p.openPackageFile(files.text("broken", damaged)));
    }
    // A read the system refuses (EISDIR here, EIO from a bad sector on a medium) makes the file
    // stream throw: refused like a damaged file, nothing escapes.
    PackageFile unreadable;
    EXPECT_FALSE(unreadable.openPackageFile(testing::TempDir()));
}

TEST(MakeDirectories, CreatesTheChainOutermostFirstAndStopsAtAFileInTheWay) {
    EXPECT_EQ(
        directoryChain("/flash/var/pdb/x//", false),
        (std::vector<std::string>{"/flash", "/flash/var", "/flash/var/pdb", "/flash/var/pdb/x"}));
    EXPECT_EQ(directoryChain("./flash/x", true), (std::vector<std::string>{"./flash"}));
    EXPECT_EQ(directoryChain("a/b", false), (std::vector<std::string>{"a", "a/b"}));
    ScratchFolder scratch("record-dirs");
    std::string root = scratch.path;
    EXPECT_TRUE(makeDirectories(root + "/a/b/c", true));
    EXPECT_TRUE(exists(root + "/a/b"));
    EXPECT_FALSE(exists(root + "/a/b/c")) << "parents only";
    EXPECT_TRUE(makeDirectories(root + "/a/b/c", false)) << "existing directories count as made";
    writeFile(root + "/a/file", "");
    EXPECT_FALSE(makeDirectories(root + "/a/file/d", false));
}

TEST(InstallationRoot, BothModesDeriveRecordAndDatabasePathsAndOwnTheirDescriptor) {
    EXPECT_STREQ(TargetPath("/boot"), "/flash/boot");
    EXPECT_EQ(TargetPath("/").view(), "/flash/");
    {
        InstallationRoot target = InstallationRoot::target();
        EXPECT_FALSE(target.relative());
        EXPECT_STREQ(target.directory(), "/flash");
        EXPECT_EQ(target.recordPath("/usr/bin/tool"), "/usr/bin/tool");
        EXPECT_EQ(target.databaseInside(), "var/pdb");
        EXPECT_EQ(target.databaseInside("tool"), "var/pdb/tool");
        EXPECT_EQ(target.databaseDirectory("tool"), "/flash/var/pdb/tool/");
    }

    // Relative to the current directory every path takes a leading dot, the database's too;
    // the directory is the one current when the root was made.
    ScratchFolder base("record-root");
    int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(chdir(base.path.c_str()), 0);
    int descriptor;
    {
        InstallationRoot current = InstallationRoot::currentDirectory();
        ASSERT_EQ(fchdir(home), 0);
        EXPECT_TRUE(current.relative());
        EXPECT_STREQ(current.directory(), ".");
        EXPECT_EQ(current.recordPath("/usr/bin/tool"), "./usr/bin/tool");
        EXPECT_EQ(current.databaseInside("tool"), "flash/var/pdb/tool");
        EXPECT_EQ(current.databaseDirectory("tool"), "./flash/var/pdb/tool/");
        descriptor = current.descriptor();
        ASSERT_GE(descriptor, 0);
        ConfinedRoot lookups(current);
        int made = lookups.openDirectory(current.databaseInside("tool"), true);
        EXPECT_GE(made, 0);
        close(made);
    }
    EXPECT_TRUE(exists(base / "flash/var/pdb/tool"));
    EXPECT_EQ(fcntl(descriptor, F_GETFD), -1) << "closed with the value";
    close(home);
}
