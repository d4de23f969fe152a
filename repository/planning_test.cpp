// Install checks, ordering and plans, on records held in memory; the plans that are carried out
// touch the package database and run in a private /flash.
#include "repository/planning.h"

#include "package/record/version.h"
#include "testbed/support/private_root.h"
#include "testbed/support/repository_console.h"

#include <gmock/gmock.h>
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

    // Plans; then "enable: ... remove: ..." in the plan's order, and what stays scheduled.
    std::string plan(bool verbose = true) {
        std::vector<InstalledPackage*> removals, enables;
        planChanges(repository, removals, enables, verbose);
        std::string out = "enable:";
        for (const InstalledPackage* p : enables)
            out += " " + p->name;
        out += " remove:";
        for (const InstalledPackage* p : removals)
            out += " " + p->name;
        out += " scheduled:";
        const char* words[] = {"", "uninstall", "enable", "disable"};
        for (const auto& p : repository.packages)
            if (p->scheduled != scheduleNone)
                out += " " + p->name + "=" + words[p->scheduled];
        return out;
    }
    // Orders the packages; their names and versions in the order kept.
    std::string order(std::vector<Package*> list, bool verbose = true) {
        orderPackages(repository, list, verbose);
        std::string out;
        for (const Package* p : list)
            out += (out.empty() ? "" : " ") + p->name + "-" + formatVersion(p->version);
        return out;
    }
    unsigned check(const Package& package, unsigned silenced = 0) {
        return checkInstall(repository, package, silenced);
    }

    Repository repository;
    testconsole::CapturedConsole captured{repository};
};

} // namespace

// --- install check -----------------------------------------------------------------------

TEST_F(PlanTest, CheckAgainstInstalledVersionsWarnsForNewerAndSameButNotForUpgrades) {
    record("ppp", v2);
    EXPECT_EQ(check(*package("ppp", v1)), newerInstalled);
    EXPECT_EQ(check(*package("ppp", v2)), sameInstalled);
    auto laterBuild = package("ppp", v2);
    laterBuild->buildTime = 2000;
    EXPECT_EQ(check(*laterBuild), olderInstalled);
    EXPECT_EQ(check(*package("ppp", v31)), olderInstalled);
    EXPECT_EQ(console(), "WARNING: omitting package ppp-1.0: newer package ppp-2.0 is already "
                         "installed\n"
                         "WARNING: omitting package ppp-2.0: it is already installed\n");
}

TEST_F(PlanTest, CheckRefusesForeignArchitectureNamingBoth) {
    auto foreign = package("dhcp");
    foreign->architecture = "mips";
    EXPECT_EQ(check(*foreign), notInstallable);
    foreign->architecture = "i386";
    EXPECT_EQ(check(*foreign), 0u);
    EXPECT_EQ(messages(),
              "ERROR: can not install dhcp-1.0: it is not made for i386, but for mips\n");
}

TEST_F(PlanTest, CheckNamesMissingDependencyWithItsMinimumVersionOnlyWhenThereIsOne) {
    record("lib", v1);
    record("old", v1, {}, true);
    EXPECT_EQ(check(*package("a", v1, {need("net"), need("more")})), notInstallable);
    EXPECT_EQ(check(*package("b", v1, {need("lib", v2)})), notInstallable);
    EXPECT_EQ(check(*package("c", v1, {need("lib", v1)})), 0u);
    // Served only by a disabled package: missing all the same.
    EXPECT_EQ(check(*package("d", v1, {need("old")})), notInstallable);
    EXPECT_EQ(messages(), "ERROR: can not install a-1.0: net is not installed, but is required\n"
                          "ERROR: can not install b-1.0: lib-2.0 is not installed, but is "
                          "required\n"
                          "ERROR: can not install d-1.0: old is not installed, but is required\n");
}

TEST_F(PlanTest, CheckFindsConflictOnlyWithEnabledExcluders) {
    InstalledPackage& firewall = record("firewall");
    firewall.conflicts.push_back(need("routing"));
    EXPECT_EQ(check(*package("routing")), conflicting);
    firewall.disabled = true;
    EXPECT_EQ(check(*package("routing")), 0u);
    EXPECT_EQ(messages(), "ERROR: can not install routing-1.0: it conflicts with firewall-1.0\n");
}

TEST_F(PlanTest, CheckPrintsOneMessageAndNoneForSilencedReasons) {
    record("ppp", v1);
    auto both = package("ppp", v1, {need("missing")});
    both->architecture = "arm";
    for (unsigned silenced : {0u, unsigned(sameInstalled), unsigned(allReasons)})
        EXPECT_EQ(check(*both, silenced), sameInstalled | notInstallable) << silenced;
    EXPECT_EQ(messages(), "WARNING: omitting package ppp-1.0: it is already installed\n"
                          "ERROR: can not install ppp-1.0: it is not made for i386, but for arm\n");
}

// --- ordering ------------------------------------------------------------------------------

TEST_F(PlanTest, OrderPutsNeededFirstAndUnrelatedInReverse) {
    auto a = package("a", v1, {need("b")}), b = package("b"), x = package("x"), y = package("y");
    EXPECT_EQ(order({a.get(), b.get()}), "b-1.0 a-1.0");
    EXPECT_EQ(order({x.get(), y.get()}), "y-1.0 x-1.0");
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, OrderKeepsTheNewestOfOneNameWarningForTheOlderAndOneOfTwoIdenticalFiles) {
    auto older = package("system", v30), newer = package("system", v31);
    EXPECT_EQ(order({older.get(), newer.get()}), "system-3.1");
    EXPECT_EQ(order({newer.get(), older.get()}, false), "system-3.1");
    EXPECT_EQ(console(), "WARNING: omitting package system-3.0: newer package is already "
                         "provided\n")
        << "once: the second order was quiet";
    auto first = package("dhcp"), second = package("dhcp");
    std::vector<Package*> list{first.get(), second.get()};
    orderPackages(repository, list, true);
    EXPECT_EQ(list, std::vector<Package*>{first.get()});
}

TEST_F(PlanTest, OrderPrefersBundleOverSameStandAloneMemberButNotOverNewerOne) {
    auto bundle = package("base");
    bundle->isBundle = true;
    bundle->members.push_back(package("ppp", v1));
    auto same = package("ppp", v1), newer = package("ppp", v2);
    EXPECT_EQ(order({same.get(), bundle.get()}), "base-1.0");
    EXPECT_EQ(console(), "") << "the stand-alone copy goes silently";
    EXPECT_EQ(order({bundle.get(), newer.get()}), "ppp-2.0");
}

// --- planning ------------------------------------------------------------------------------

TEST_F(PlanTest, DisabledPackageNeededByEnabledOneIsEnabled) {
    record("app", v1, {need("lib")});
    record("lib", v1, {need("base")}, true);
    record("base", v1, {}, true);
    EXPECT_EQ(plan(), "enable: base lib remove: scheduled: lib=enable base=enable");
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, NeededPackageStaysWithWarningWhenAskedToLeave) {
    record("app", v1, {need("lib")});
    record("lib", v1, {}, false, scheduleUninstall);
    record("tool", v1, {}, false, scheduleDisable);
    record("gui", v1, {need("tool")});
    EXPECT_EQ(plan(), "enable: remove: scheduled:");
    EXPECT_EQ(console(), "WARNING: can not uninstall lib-1.0: app depends on it\n"
                         "WARNING: can not disable tool-1.0: gui depends on it\n");
    EXPECT_EQ(plan(false), "enable: remove: scheduled:");
}

TEST_F(PlanTest, UninstallingOnlyProviderTakesInactiveDependentAlong) {
    record("app", v1, {need("lib")}, true);
    record("lib", v1, {}, false, scheduleUninstall);
    record("keep");
    // A package comes before what it needs.
    EXPECT_EQ(plan(), "enable: remove: app lib scheduled: app=uninstall lib=uninstall");
}

TEST_F(PlanTest, DisablingOnlyProviderThroughConflictDisablesDependent) {
    record("app", v1, {need("lib")});
    record("lib");
    record("rival", v1, {}, true, scheduleEnable).conflicts.push_back(need("lib"));
    EXPECT_EQ(plan(),
              "enable: rival remove: app lib scheduled: app=disable lib=disable rival=enable");
}

TEST_F(PlanTest, EnablingAgainstAnEnablingRivalIsWithdrawnWithWarning) {
    record("first", v1, {}, true, scheduleEnable);
    record("second", v1, {}, true, scheduleEnable).conflicts.push_back(need("first"));
    record("base");
    EXPECT_EQ(plan(), "enable: second remove: scheduled: second=enable");
    EXPECT_EQ(console(), "WARNING: can not enable first: second-1.0 conflicts with it\n");
}

TEST_F(PlanTest, BundleFollowsItsMembers) {
    bundleRecord("gone");
    member("g1", "gone", false, scheduleUninstall);
    member("g2", "gone", true, scheduleUninstall);
    bundleRecord("dormant");
    member("d1", "dormant", false, scheduleDisable);
    member("d2", "dormant", false, scheduleUninstall);
    bundleRecord("alive");
    member("a1", "alive", false, scheduleDisable);
    member("a2", "alive");
    EXPECT_THAT(plan(), testing::EndsWith(" scheduled: gone=uninstall g1=uninstall g2=uninstall "
                                          "dormant=disable d1=disable d2=uninstall a1=disable"));
}

TEST_F(PlanTest, MembersFollowTheirBundle) {
    bundleRecord("base", scheduleDisable);
    member("m1", "base");
    member("m2", "base", false, scheduleUninstall);
    bundleRecord("extra", scheduleEnable).disabled = true;
    member("opt", "extra", true);
    record("other");
    std::string planned = plan();
    EXPECT_THAT(planned, testing::StartsWith("enable: opt extra remove: "));
    EXPECT_THAT(planned, testing::EndsWith(" scheduled: base=disable m1=disable m2=uninstall "
                                           "extra=enable opt=enable"));
}

TEST_F(PlanTest, PlanThatWouldLeaveNothingActiveChangesNothing) {
    record("a", v1, {}, false, scheduleUninstall);
    record("b", v1, {}, false, scheduleDisable);
    EXPECT_EQ(plan(), "enable: remove: scheduled:");
    EXPECT_EQ(messages(), "ERROR: can not uninstall or disable all packages\n");
}

TEST_F(PlanTest, EnablingAnEnabledPackageKeepsWhatNeedsIt) {
    record("app", v1, {need("lib")}, true);
    record("lib", v1, {}, false, scheduleEnable);
    EXPECT_THAT(plan(), testing::HasSubstr(" remove: scheduled:"));
    EXPECT_EQ(console(), "");
}

TEST_F(PlanTest, RecordNamingItselfAsItsBundleEndsThePlan) {
    InstalledPackage& odd = bundleRecord("odd", scheduleEnable);
    odd.disabled = true;
    odd.bundle.name = "odd";
    record("loop1", v1, {need("loop2")}, true, scheduleEnable);
    record("loop2", v1, {need("loop1")}, true);
    EXPECT_THAT(plan(), testing::StartsWith("enable: loop1 loop2 odd remove: "));
    EXPECT_EQ(repository.find("loop1")->scheduled, scheduleEnable);
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
