// Install checks, ordering and plans, on records held in memory; the plans that are carried out
// touch the package database and run in a private /flash.
#include "repository/planning.h"

#include "package/record/version.h"
#include "testbed/support/private_root.h"
#include "testbed/support/repository_console.h"

#include <gtest/gtest.h>

using namespace installer;

namespace {

constexpr uint32_t v1 = makeVersion(1, 0, 'f', 0);
constexpr uint32_t v2 = makeVersion(2, 0, 'f', 0);
constexpr uint32_t v30 = makeVersion(3, 0, 'f', 0);
constexpr uint32_t v31 = makeVersion(3, 1, 'f', 0);

Requirement need(const std::string& name, uint32_t minVersion = 0) {
    return {name, minVersion, 0, 0};
}

std::unique_ptr<Package> package(const std::string& name, uint32_t version = v1,
                                 std::vector<Requirement> depends = {}) {
    auto made = std::make_unique<Package>();
    made->name = name;
    made->version = version;
    made->buildTime = 1000;
    made->depends = std::move(depends);
    return made;
}

// A repository with its console in memory.
class PlanTest : public testing::Test {
protected:
    // Everything written so far, and the message lines alone.
    std::string console() { return captured.text(); }
    std::string messages() { return captured.messages(); }

    InstalledPackage& record(const std::string& name, uint32_t version = v1,
                             std::vector<Requirement> depends = {}, bool disabled = false,
                             Scheduled scheduled = scheduleNone) {
        auto made = std::make_unique<InstalledPackage>();
        made->name = name;
        made->version = version;
        made->buildTime = 1000;
        made->depends = std::move(depends);
        made->disabled = disabled;
        made->scheduled = scheduled;
        made->files.insert("/lib/" + name);
        InstalledPackage& kept = *made;
        repository.add(std::move(made));
        return kept;
    }
    InstalledPackage& bundleRecord(const std::string& name, Scheduled scheduled = scheduleNone) {
        InstalledPackage& bundle = record(name, v1, {}, false, scheduled);
        bundle.isBundle = true;
        bundle.files.clear();
        return bundle;
    }
    InstalledPackage& member(const std::string& name, const std::string& bundle,
                             bool disabled = false, Scheduled scheduled = scheduleNone) {
        InstalledPackage& made = record(name, v1, {}, disabled, scheduled);
        made.bundle = {bundle, v1, v1, 0};
        return made;
    }

    void plan(bool verbose = true) {
        removals.clear();
        enables.clear();
        planChanges(repository, removals, enables, verbose);
    }
    static std::string names(const std::vector<InstalledPackage*>& list) {
        std::string out;
        for (const InstalledPackage* p : list)
            out += (out.empty() ? "" : " ") + p->name;
        return out;
    }
    static std::string names(const std::vector<Package*>& list) {
        std::string out;
        for (const Package* p : list)
            out += (out.empty() ? "" : " ") + p->name + "-" + formatVersion(p->version);
        return out;
    }

    Repository repository;
    testconsole::CapturedConsole captured{repository};
    std::vector<InstalledPackage*> removals, enables;
};

} // namespace

// --- install check -----------------------------------------------------------------------

TEST_F(PlanTest, CheckAgainstInstalledVersionsWarnsForNewerAndSameButNotForUpgrades) {
    record("ppp", v2);
    EXPECT_EQ(checkInstall(repository, *package("ppp", v1), 0), newerInstalled);
    EXPECT_EQ(checkInstall(repository, *package("ppp", v2), 0), sameInstalled);
    auto laterBuild = package("ppp", v2);
    laterBuild->buildTime = 2000;
    EXPECT_EQ(checkInstall(repository, *laterBuild, 0), olderInstalled);
    EXPECT_EQ(checkInstall(repository, *package("ppp", v31), 0), olderInstalled);
    EXPECT_EQ(console(), "WARNING: omitting package ppp-1.0: newer package ppp-2.0 is already "
                         "installed\n"
                         "WARNING: omitting package ppp-2.0: it is already installed\n");
}

TEST_F(PlanTest, CheckRefusesForeignArchitectureNamingBoth) {
    auto foreign = package("dhcp");
    foreign->architecture = "mips";
    EXPECT_EQ(checkInstall(repository, *foreign, 0), notInstallable);
    foreign->architecture = "i386";
    EXPECT_EQ(checkInstall(repository, *foreign, 0), 0u);
    EXPECT_EQ(messages(),
              "ERROR: can not install dhcp-1.0: it is not made for i386, but for mips\n");
}

TEST_F(PlanTest, CheckNamesMissingDependencyWithItsMinimumVersionOnlyWhenThereIsOne) {
    record("lib", v1);
    record("old", v1, {}, true);
    EXPECT_EQ(checkInstall(repository, *package("a", v1, {need("net"), need("more")}), 0),
              notInstallable);
    EXPECT_EQ(checkInstall(repository, *package("b", v1, {need("lib", v2)}), 0), notInstallable);
    EXPECT_EQ(checkInstall(repository, *package("c", v1, {need("lib", v1)}), 0), 0u);
    // Served only by a disabled package: missing all the same.
    EXPECT_EQ(checkInstall(repository, *package("d", v1, {need("old")}), 0), notInstallable);
    EXPECT_EQ(messages(), "ERROR: can not install a-1.0: net is not installed, but is required\n"
                          "ERROR: can not install b-1.0: lib-2.0 is not installed, but is "
                          "required\n"
                          "ERROR: can not install d-1.0: old is not installed, but is required\n");
}

TEST_F(PlanTest, CheckFindsConflictOnlyWithEnabledExcluders) {
    InstalledPackage& firewall = record("firewall");
    firewall.conflicts.push_back(need("routing"));
    EXPECT_EQ(checkInstall(repository, *package("routing"), 0), conflicting);
    firewall.disabled = true;
    EXPECT_EQ(checkInstall(repository, *package("routing"), 0), 0u);
    EXPECT_EQ(messages(), "ERROR: can not install routing-1.0: it conflicts with firewall-1.0\n");
}

TEST_F(PlanTest, CheckPrintsOneMessageAndNoneForSilencedReasons) {
    record("ppp", v1);
    auto both = package("ppp", v1, {need("missing")});
    both->architecture = "arm";
    EXPECT_EQ(checkInstall(repository, *both, 0), sameInstalled | notInstallable);
    EXPECT_EQ(checkInstall(repository, *both, sameInstalled), sameInstalled | notInstallable);
    EXPECT_EQ(checkInstall(repository, *both, allReasons), sameInstalled | notInstallable);
    EXPECT_EQ(messages(), "WARNING: omitting package ppp-1.0: it is already installed\n"
                          "ERROR: can not install ppp-1.0: it is not made for i386, but for arm\n");
}

// --- ordering ------------------------------------------------------------------------------

TEST_F(PlanTest, OrderPutsNeededFirstAndUnrelatedInReverse) {
    auto a = package("a", v1, {need("b")});
    auto b = package("b");
    std::vector<Package*> list{a.get(), b.get()};
    orderPackages(repository, list, true);
    EXPECT_EQ(names(list), "b-1.0 a-1.0");

    auto x = package("x"), y = package("y");
    list = {x.get(), y.get()};
    orderPackages(repository, list, true);
    EXPECT_EQ(names(list), "y-1.0 x-1.0");
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, OrderKeepsTheNewestOfOneNameAndWarnsForTheOlder) {
    auto older = package("system", v30), newer = package("system", v31);
    std::vector<Package*> list{older.get(), newer.get()};
    orderPackages(repository, list, true);
    EXPECT_EQ(names(list), "system-3.1");
    EXPECT_EQ(console(), "WARNING: omitting package system-3.0: newer package is already "
                         "provided\n");
    list = {newer.get(), older.get()};
    orderPackages(repository, list, false);
    EXPECT_EQ(names(list), "system-3.1");
    EXPECT_EQ(console(), "WARNING: omitting package system-3.0: newer package is already "
                         "provided\n");
}

TEST_F(PlanTest, OrderPrefersBundleOverSameStandAloneMemberButNotOverNewerOne) {
    auto bundle = package("base");
    bundle->isBundle = true;
    bundle->members.push_back(package("ppp", v1));
    auto same = package("ppp", v1), newer = package("ppp", v2);

    std::vector<Package*> list{same.get(), bundle.get()};
    orderPackages(repository, list, true);
    EXPECT_EQ(names(list), "base-1.0");
    EXPECT_EQ(console(), "") << "the stand-alone copy goes silently";

    list = {bundle.get(), newer.get()};
    orderPackages(repository, list, true);
    EXPECT_EQ(names(list), "ppp-2.0");
}

TEST_F(PlanTest, OrderKeepsOneOfTwoIdenticalFiles) {
    auto first = package("dhcp"), second = package("dhcp");
    std::vector<Package*> list{first.get(), second.get()};
    orderPackages(repository, list, true);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], first.get());
}

// --- planning ------------------------------------------------------------------------------

TEST_F(PlanTest, DisabledPackageNeededByEnabledOneIsEnabled) {
    record("app", v1, {need("lib")});
    record("lib", v1, {need("base")}, true);
    record("base", v1, {}, true);
    plan();
    EXPECT_EQ(names(enables), "base lib");
    EXPECT_EQ(names(removals), "");
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, NeededPackageStaysWithWarningWhenAskedToLeave) {
    record("app", v1, {need("lib")});
    InstalledPackage& lib = record("lib", v1, {}, false, scheduleUninstall);
    InstalledPackage& tool = record("tool", v1, {}, false, scheduleDisable);
    record("gui", v1, {need("tool")});
    plan();
    EXPECT_EQ(lib.scheduled, scheduleNone);
    EXPECT_EQ(tool.scheduled, scheduleNone);
    EXPECT_EQ(console(), "WARNING: can not uninstall lib-1.0: app depends on it\n"
                         "WARNING: can not disable tool-1.0: gui depends on it\n");
    plan(false);
    EXPECT_TRUE(removals.empty() && enables.empty());
}

TEST_F(PlanTest, UninstallingOnlyProviderTakesInactiveDependentAlong) {
    record("app", v1, {need("lib")}, true);
    record("lib", v1, {}, false, scheduleUninstall);
    record("keep");
    plan();
    EXPECT_EQ(names(removals), "app lib") << "a package before what it needs";
    EXPECT_EQ(removals[0]->scheduled, scheduleUninstall);
}

TEST_F(PlanTest, DisablingOnlyProviderThroughConflictDisablesDependent) {
    InstalledPackage& app = record("app", v1, {need("lib")});
    InstalledPackage& lib = record("lib");
    InstalledPackage& rival = record("rival", v1, {}, true, scheduleEnable);
    rival.conflicts.push_back(need("lib"));
    plan();
    EXPECT_EQ(lib.scheduled, scheduleDisable);
    EXPECT_EQ(app.scheduled, scheduleDisable);
    EXPECT_EQ(names(enables), "rival");
    EXPECT_EQ(names(removals), "app lib");
}

TEST_F(PlanTest, EnablingAgainstAnEnablingRivalIsWithdrawnWithWarning) {
    InstalledPackage& first = record("first", v1, {}, true, scheduleEnable);
    InstalledPackage& second = record("second", v1, {}, true, scheduleEnable);
    second.conflicts.push_back(need("first"));
    record("base");
    plan();
    EXPECT_EQ(first.scheduled, scheduleNone);
    EXPECT_EQ(names(enables), "second");
    EXPECT_EQ(console(), "WARNING: can not enable first: second-1.0 conflicts with it\n");
}

TEST_F(PlanTest, BundleFollowsItsMembers) {
    InstalledPackage& gone = bundleRecord("gone");
    member("g1", "gone", false, scheduleUninstall);
    member("g2", "gone", true, scheduleUninstall);
    InstalledPackage& dormant = bundleRecord("dormant");
    member("d1", "dormant", false, scheduleDisable);
    member("d2", "dormant", false, scheduleUninstall);
    InstalledPackage& alive = bundleRecord("alive");
    member("a1", "alive", false, scheduleDisable);
    member("a2", "alive");
    plan();
    EXPECT_EQ(gone.scheduled, scheduleUninstall);
    EXPECT_EQ(dormant.scheduled, scheduleDisable);
    EXPECT_EQ(alive.scheduled, scheduleNone);
}

TEST_F(PlanTest, MembersFollowTheirBundle) {
    bundleRecord("base", scheduleDisable);
    InstalledPackage& m1 = member("m1", "base");
    InstalledPackage& m2 = member("m2", "base", false, scheduleUninstall);
    InstalledPackage& extra = bundleRecord("extra", scheduleEnable);
    extra.disabled = true;
    InstalledPackage& optional = member("opt", "extra", true);
    record("other");
    plan();
    EXPECT_EQ(m1.scheduled, scheduleDisable);
    EXPECT_EQ(m2.scheduled, scheduleUninstall);
    EXPECT_EQ(optional.scheduled, scheduleEnable);
    EXPECT_EQ(names(enables), "opt extra");
}

TEST_F(PlanTest, PlanThatWouldLeaveNothingActiveChangesNothing) {
    InstalledPackage& a = record("a", v1, {}, false, scheduleUninstall);
    InstalledPackage& b = record("b", v1, {}, false, scheduleDisable);
    plan();
    EXPECT_TRUE(removals.empty() && enables.empty());
    EXPECT_EQ(a.scheduled, scheduleNone);
    EXPECT_EQ(b.scheduled, scheduleNone);
    EXPECT_EQ(messages(), "ERROR: can not uninstall or disable all packages\n");
}

TEST_F(PlanTest, EnablingAnEnabledPackageKeepsWhatNeedsIt) {
    record("app", v1, {need("lib")}, true);
    record("lib", v1, {}, false, scheduleEnable);
    plan();
    EXPECT_EQ(names(removals), "");
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, RecordNamingItselfAsItsBundleEndsThePlan) {
    InstalledPackage& odd = bundleRecord("odd", scheduleEnable);
    odd.disabled = true;
    odd.bundle.name = "odd";
    InstalledPackage& loop = record("loop1", v1, {need("loop2")}, true, scheduleEnable);
    record("loop2", v1, {need("loop1")}, true);
    plan();
    EXPECT_EQ(loop.scheduled, scheduleEnable);
    EXPECT_EQ(names(enables), "loop1 loop2 odd");
}

// --- carrying plans out --------------------------------------------------------------------

TEST_F(PlanTest, ApplyingNothingReturnsFalseAndPrintsNothing) {
    record("a");
    record("b", v1, {need("a")});
    EXPECT_FALSE(applyChanges(repository, true));
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, ApplyingEnablesDisablesAndUninstallsTheDatabase) {
    sandbox::run([&] {
        for (const char* name : {"app", "lib", "gone", "rival"}) {
            InstalledPackage& made = record(name);
            made.files.clear();
            ASSERT_TRUE(made.store(repository));
        }
        InstalledPackage& app = *repository.find("app");
        app.depends.push_back(need("lib"));
        repository.find("lib")->disable();
        repository.find("gone")->scheduled = scheduleUninstall;
        repository.find("rival")->conflicts.push_back(need("nothing"));
        repository.find("rival")->scheduled = scheduleDisable;
        EXPECT_TRUE(applyChanges(repository, true));
        EXPECT_EQ(messages(), "disabled rival-1.0\nenabled lib-1.0\n");
        EXPECT_FALSE(exists("/flash/var/pdb/gone"));
        EXPECT_EQ(repository.find("gone"), nullptr);
        EXPECT_FALSE(exists("/flash/var/pdb/lib/disabled"));
        EXPECT_EQ(fileContents("/flash/var/pdb/rival/disabled"), "auto\n");
        EXPECT_FALSE(applyChanges(repository, true));
    });
}
