// Installing package and bundle streams into a private /flash: what the console says, which
// files and database records result.
#include "repository/install_stream.h"

#include "package/record/record_text.h"
#include "testbed/support/private_root.h"
#include "testbed/support/stream_packages.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace installer;
using namespace streamtest;

namespace {

constexpr uint32_t v1 = makeVersion(1, 0, 'f', 0);
constexpr uint32_t v2 = makeVersion(2, 0, 'f', 0);

struct Installer {
    Repository repository;
    Console console{repository};
    std::string payload;

    int install(const std::string& bytes, unsigned accepted = olderInstalled) {
        std::istringstream in(bytes);
        payload.clear();
        return installPackageStream(repository, in, accepted, nullptr, &payload);
    }
    int install(const Draft& draft) { return install(draft.signedFile()); }
    // Output of what follows only.
    std::string fresh() {
        std::string all = console.messages();
        std::string out = all.substr(seen);
        seen = all.size();
        return out;
    }
    size_t seen = 0;
};

// A case whose body runs as root in a private /flash, with `it` installing there.
#define STREAM_TEST(suite, name)                                                                   \
    void suite##name(Installer& it);                                                               \
    TEST(suite, name) {                                                                            \
        sandbox::run([] {                                                                          \
            Installer it;                                                                          \
            suite##name(it);                                                                       \
        });                                                                                        \
    }                                                                                              \
    void suite##name(Installer& it)

} // namespace

STREAM_TEST(InstallStream, RefusedPackagesSayWhyAndChangeNothing) {
    ASSERT_EQ(it.install(simple("ppp", v2, "two")), streamInstalled);
    it.fresh();
    Draft foreign = simple("dhcp"), needy = simple("routing");
    foreign.architecture = "sparc";
    needy.depends = {{"zebra", v2, 0, 0}};
    for (const auto& [draft, message] : std::vector<std::pair<Draft, std::string>>{
             {simple("ppp", v1, "one"),
              "WARNING: omitting package ppp-1.0: newer package ppp-2.0 is already installed\n"},
             {simple("ppp", v2, "again"),
              "WARNING: omitting package ppp-2.0: it is already installed\n"},
             {foreign, "ERROR: can not install dhcp-1.0: it is not made for i386, but for sparc\n"},
             {needy, "ERROR: can not install routing-1.0: zebra-2.0 is not installed, but is "
                     "required\n"}}) {
        EXPECT_EQ(it.install(draft), streamFailed) << message;
        EXPECT_EQ(it.fresh(), message);
    }
    EXPECT_EQ(fileContents("/flash/ppp/file"), "two");
    EXPECT_FALSE(exists("/flash/var/pdb/dhcp") || exists("/flash/var/pdb/routing"));
}

STREAM_TEST(InstallStream, UpgradeReplacesOldFilesAndRecordEvenForALaterBuildOfTheSameVersion) {
    Draft old = simple("ppp", v1, "old");
    old.entries.push_back(testpkg::regular("ppp/only-old", "x"));
    ASSERT_EQ(it.install(old), streamInstalled);
    Draft rebuilt = simple("ppp", v1, "new");
    it.fresh();
    EXPECT_EQ(it.install(packageFileBytes(signParts(withBuildTime(rebuilt, 1001)))),
              streamInstalled);
    EXPECT_EQ(it.fresh(), "installed ppp-1.0\n") << "an upgrade is not a check message";
    EXPECT_TRUE(it.payload.empty()) << "no payload, no directory";
    EXPECT_EQ(fileContents("/flash/ppp/file"), "new");
    EXPECT_FALSE(exists("/flash/ppp/only-old"));
    EXPECT_EQ(fileContents("/flash/var/pdb/ppp/files").find("only-old"), std::string::npos);
    EXPECT_EQ(it.repository.packages.size(), 1u);
    EXPECT_EQ(it.repository.find("ppp")->buildTime, 1001u);
}

STREAM_TEST(InstallStream, OldVersionIsGoneBeforeTheNewFilesAreWritten) {
    ASSERT_EQ(it.install(simple("ppp", v1, "old")), streamInstalled);
    // A new version that breaks while its files are written: the old one has already left.
    std::string broken = simple("ppp", v2, "new").unsignedFile();
    EXPECT_EQ(it.install(broken), streamFailed);
    EXPECT_FALSE(exists("/flash/var/pdb/ppp"));
    EXPECT_EQ(it.repository.find("ppp"), nullptr);
}

STREAM_TEST(InstallStream, PackageExcludedByAnEnabledOneGoesInDisabledBelowX) {
    Draft firewall = simple("firewall");
    firewall.conflicts = {{"routing", 0, 0, 0}};
    ASSERT_EQ(it.install(firewall), streamInstalled);
    it.fresh();
    EXPECT_EQ(it.install(simple("routing")), streamInstalled);
    EXPECT_EQ(it.fresh(), "installed (disabled) routing-1.0\n");
    EXPECT_EQ(fileContents("/flash/x/routing/routing/file"), "data");
    EXPECT_FALSE(exists("/flash/routing/file"));
    EXPECT_TRUE(it.repository.find("routing")->disabled);
    EXPECT_EQ(fileContents("/flash/var/pdb/routing/disabled"), "auto\n");
}

STREAM_TEST(InstallStream, PayloadDirectoryIsNamedEvenWhenThePackageIsRefused) {
    Draft carrier = simple("system");
    carrier.payload = "kernel image";
    carrier.architecture = "arm";
    EXPECT_EQ(it.install(carrier), streamFailed);
    EXPECT_EQ(it.payload, "/flash/var/pdb/system/");
    carrier.architecture.clear();
    EXPECT_EQ(it.install(carrier), streamInstalled);
    EXPECT_EQ(it.payload, "/flash/var/pdb/system/");
}

STREAM_TEST(InstallStream, UnreadableStreamsFailQuietly) {
    EXPECT_EQ(it.install(""), streamFailed);
    EXPECT_EQ(it.install(packageFileBytes(partBytes(partArchive, "zz"))), streamFailed);
    std::string whole = simple("ppp").signedFile();
    EXPECT_EQ(it.install(whole.substr(0, 20)), streamFailed);
    EXPECT_EQ(it.fresh(), "");
}

STREAM_TEST(InstallStream, UnregisteredPackageNeitherReplacesNorRecords) {
    ASSERT_EQ(it.install(simple("tools", v1, "one")), streamInstalled);
    EXPECT_EQ(it.install(simple("tools", v2, "two").signedFile(unregisteredMagic)),
              streamInstalled);
    EXPECT_EQ(it.repository.packages.size(), 2u);
    EXPECT_TRUE(exists("/flash/var/pdb/tools"));
    EXPECT_EQ(fileContents("/flash/var/pdb/tools/version"), formatVersionLine(v1, 1000))
        << "the record of the registered version stays";
    EXPECT_EQ(fileContents("/flash/tools/file"), "two");
}

// --- bundles -------------------------------------------------------------------------------

STREAM_TEST(InstallBundle, MembersGoInSilentlyUnderOneLineAndListedOptionalOnesDisabled) {
    BundleSpec base;
    base.optional = {"dhcp"};
    base.members = {simple("system"), simple("ppp"), simple("dhcp")};
    EXPECT_EQ(it.install(base.file()), streamInstalled);
    EXPECT_EQ(it.fresh(), "installed base-1.0\n");
    EXPECT_TRUE(exists("/flash/system/file") && exists("/flash/ppp/file"));
    EXPECT_TRUE(exists("/flash/x/dhcp/dhcp/file"));
    EXPECT_EQ(fileContents("/flash/var/pdb/ppp/bundle"), "base\n");
    EXPECT_TRUE(exists("/flash/var/pdb/base/version"));
    EXPECT_FALSE(exists("/flash/var/pdb/base/files")) << "a bundle record has no files";
    EXPECT_TRUE(it.repository.find("dhcp")->disabled);
    EXPECT_FALSE(it.repository.find("system")->disabled || it.repository.find("base")->disabled);
}

STREAM_TEST(InstallBundle, SameVersionIsReinstalledAndANewOneUninstallsTheMembersItLacks) {
    BundleSpec base;
    base.members = {simple("system"), simple("ppp")};
    ASSERT_EQ(it.install(base.file()), streamInstalled);
    EXPECT_EQ(it.install(base.file()), streamInstalled);
    EXPECT_TRUE(exists("/flash/ppp/file") && exists("/flash/var/pdb/ppp"));
    EXPECT_EQ(it.repository.packages.size(), 3u) << "the members still count";
    BundleSpec next;
    next.version = v2;
    next.members = {simple("system", v2), simple("routing")};
    EXPECT_EQ(it.install(next.file()), streamInstalled);
    EXPECT_FALSE(exists("/flash/ppp/file") || exists("/flash/var/pdb/ppp"));
    EXPECT_EQ(it.repository.find("ppp"), nullptr);
    EXPECT_TRUE(exists("/flash/routing/file"));
    EXPECT_EQ(it.repository.find("system")->version, v2);
    EXPECT_EQ(it.fresh(), "installed base-1.0\ninstalled base-1.0\ninstalled base-2.0\n");
}

STREAM_TEST(InstallBundle, AllMembersRefusedGivesThreeAndKeepsTheRecord) {
    BundleSpec base;
    Draft foreign = simple("system");
    foreign.architecture = "arm";
    base.members = {foreign};
    EXPECT_EQ(it.install(base.file()), streamNoMemberInstalled);
    EXPECT_EQ(it.fresh(), "") << "members' own check messages are not shown";
    EXPECT_TRUE(exists("/flash/var/pdb/base/version"));
    EXPECT_NE(it.repository.find("base"), nullptr);
}

STREAM_TEST(InstallBundle, RefusedBundleGivesTwoAndChangesNothing) {
    BundleSpec base;
    base.architecture = "arm";
    base.members = {simple("system")};
    EXPECT_EQ(it.install(base.file()), streamBundleRefused);
    EXPECT_EQ(it.fresh(),
              "ERROR: can not install base-1.0: it is not made for i386, but for arm\n");
    EXPECT_FALSE(exists("/flash/var/pdb/base"));
    EXPECT_FALSE(exists("/flash/system"));
}

STREAM_TEST(InstallBundle, MemberWithAnUnusableNameEndsTheBundleInsteadOfHanging) {
    std::string parts = partBytes(partBundleHeader, headerBodyBytes({"base", v1, 5}));
    parts += signParts(simple("ppp").parts());
    parts += signParts(simple("../evil").parts());
    parts += signParts(simple("dhcp").parts());
    EXPECT_EQ(it.install(packageFileBytes(parts)), streamInstalled);
    EXPECT_NE(it.repository.find("ppp"), nullptr);
    EXPECT_FALSE(exists("/evil"));
}
