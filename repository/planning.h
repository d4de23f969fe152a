// Deciding what the installed set may take in and what has to change with it: the install
// check of a package just read, the order in which a list of packages is handled, and the plan
// of uninstalls, disables and enables that keeps every active package served and unopposed.
// Every scan runs in repository order: the order decides ties, so it is part of the behaviour.
#pragma once

#include "repository/repository.h"

#include <vector>

namespace installer {

// Why a package may not simply go in; checkInstall returns a set of these.
enum InstallReason : unsigned {
    olderInstalled = 1, // an older version is installed: an upgrade
    newerInstalled = 2, // a newer version is installed
    sameInstalled = 4,  // the same version and build time is installed
    notInstallable = 8, // wrong architecture, or a dependency no enabled package serves
    conflicting = 16,   // an enabled installed package excludes it
};
constexpr unsigned allReasons = 31;

// The verb messages use for a `scheduled` value ("", "uninstall", "enable", "disable").
const char* scheduledVerb(Scheduled scheduled);

// Enabled and staying so, or disabled and about to be enabled.
bool isActiveAfterPlan(const InstalledPackage& package);

// 0 when a candidate stays active, 3 when one stays installed but inactive, 1 when all go.
int candidateFate(const std::vector<InstalledPackage*>& candidates);

// Tests `package` (not in the repository) against the installed set. At most one message,
// and none for a reason in `silenced`.
unsigned checkInstall(Repository& repository, const Package& package, unsigned silenced);

// Drops the packages a newer one of the list supersedes, then puts every package after the
// last one placed before it that it needs or that excludes it.
void orderPackages(Repository& repository, std::vector<Package*>& list, bool verbose);
void orderPackages(Repository& repository, std::vector<InstalledPackage*>& list, bool verbose);

// Settles the `scheduled` values of the repository's records and lists what is to go (a
// package before what it needs) and what is to be enabled (after what it needs).
void planChanges(Repository& repository, std::vector<InstalledPackage*>& removals,
                 std::vector<InstalledPackage*>& enables, bool verbose);

// Plans and carries the plan out; true when anything was scheduled.
bool applyChanges(Repository& repository, bool verbose);

} // namespace installer
