#include "repository/planning.h"

#include "package/record/record_relations.h"
#include "package/record/version.h"

#include <algorithm>

namespace installer {

namespace {

const char architecture[] = "i386";

bool isScheduledAway(const InstalledPackage& package) {
    return package.scheduled == scheduleUninstall || package.scheduled == scheduleDisable;
}

// One plan over the repository's records. Records are neither added nor taken out while it
// runs, so scans go by index and read the current values as they go.
class Planner {
public:
    Planner(Repository& repository, bool verbose) : repository(repository), verbose(verbose) {}

    void membersFollowBundles();
    void ensureActiveNeeds();
    void resolveConflicts();
    void settleDependents();
    void bundlesFollowMembers();
    bool keepsSomethingActive();

private:
    void ensureNeeds(InstalledPackage& package);
    void enableFor(InstalledPackage& needed, const InstalledPackage& dependent);
    void resolveConflictsOf(InstalledPackage& package);
    bool settleOne(InstalledPackage& package);
    void settleBundle(InstalledPackage& bundle);

    InstalledPackage& record(size_t index) { return *repository.packages[index]; }
    size_t count() const { return repository.packages.size(); }

    Repository& repository;
    bool verbose;
};

void Planner::membersFollowBundles() {
    for (size_t i = 0; i < count(); ++i) {
        InstalledPackage& member = record(i);
        if (member.bundle.name.empty())
            continue;
        InstalledPackage* bundle = repository.find(member.bundle.name);
        if (!bundle)
            continue;
        if (bundle->scheduled == scheduleDisable && member.scheduled != scheduleUninstall)
            member.scheduled = scheduleDisable;
        else if (bundle->scheduled == scheduleUninstall)
            member.scheduled = scheduleUninstall;
        else if (bundle->scheduled == scheduleEnable && member.disabled)
            member.scheduled = scheduleEnable;
    }
}

void Planner::ensureActiveNeeds() {
    for (size_t i = 0; i < count(); ++i)
        if (isActiveAfterPlan(record(i)))
            ensureNeeds(record(i));
}

void Planner::ensureNeeds(InstalledPackage& package) {
    if (!package.bundle.name.empty())
        if (InstalledPackage* bundle = repository.find(package.bundle.name))
            enableFor(*bundle, package);
    for (const Requirement& need : package.depends) {
        std::vector<InstalledPackage*> found = repository.candidates(need, true);
        if (candidateFate(found) == 0)
            continue;
        if (found.empty())
            break;
        orderPackages(repository, found, false);
        if (!found.empty())
            enableFor(*found.back(), package);
    }
}

// Recurses only when `needed` moves towards active, so a cycle of needs (or a record naming
// itself as its bundle) ends once every record on it has been moved.
void Planner::enableFor(InstalledPackage& needed, const InstalledPackage& dependent) {
    if (isScheduledAway(needed)) {
        if (verbose)
            repository.warning("can not %s %s: %s depends on it", scheduledVerb(needed.scheduled),
                               packageLabel(needed).c_str(), dependent.name.c_str());
        needed.scheduled = scheduleNone;
        ensureNeeds(needed);
    } else if (needed.disabled && needed.scheduled != scheduleEnable) {
        needed.scheduled = scheduleEnable;
        ensureNeeds(needed);
    }
}

void Planner::resolveConflicts() {
    for (size_t i = 0; i < count(); ++i)
        if (isActiveAfterPlan(record(i)))
            resolveConflictsOf(record(i));
}

void Planner::resolveConflictsOf(InstalledPackage& package) {
    for (size_t i = 0; i < count(); ++i) {
        InstalledPackage& other = record(i);
        if (&other == &package || !isActiveAfterPlan(other))
            continue;
        if (conflictsWith(package, other)) {
            if (other.scheduled == scheduleNone)
                other.scheduled = scheduleDisable;
        } else if (package.scheduled == scheduleEnable && conflictsWith(other, package)) {
            if (other.scheduled == scheduleNone) {
                other.scheduled = scheduleDisable;
            } else if (other.scheduled == scheduleEnable) {
                if (verbose)
                    repository.warning("can not enable %s: %s conflicts with it",
                                       package.name.c_str(), packageLabel(other).c_str());
                package.scheduled = scheduleNone;
                return;
            }
        }
    }
}

void Planner::settleDependents() {
    // Every change moves a record one way (towards uninstall), so the restarts end.
    for (size_t i = 0; i < count();)
        i = settleOne(record(i)) ? 0 : i + 1;
}

bool Planner::settleOne(InstalledPackage& package) {
    for (const Requirement& need : package.depends) {
        int fate = candidateFate(repository.candidates(need, true));
        if (fate == 1 && package.scheduled != scheduleUninstall) {
            package.scheduled = scheduleUninstall;
            return true;
        }
        bool inactive =
            isScheduledAway(package) || (package.disabled && package.scheduled == scheduleNone);
        if (fate == 3 && !inactive) {
            package.scheduled = scheduleDisable;
            return true;
        }
    }
    return false;
}

void Planner::bundlesFollowMembers() {
    for (size_t i = 0; i < count(); ++i) {
        InstalledPackage& bundle = record(i);
        if (bundle.isBundle && bundle.scheduled != scheduleUninstall)
            settleBundle(bundle);
    }
}

void Planner::settleBundle(InstalledPackage& bundle) {
    bool remains = false;
    for (size_t i = 0; i < count(); ++i) {
        InstalledPackage& member = record(i);
        if (member.bundle.name != bundle.name)
            continue;
        if (isActiveAfterPlan(member))
            return;
        if (member.scheduled != scheduleUninstall)
            remains = true;
    }
    if (!remains)
        bundle.scheduled = scheduleUninstall;
    else if (!bundle.disabled)
        bundle.scheduled = scheduleDisable;
    else if (bundle.scheduled == scheduleEnable)
        bundle.scheduled = scheduleNone;
}

bool Planner::keepsSomethingActive() {
    if (count() == 0)
        return true;
    for (size_t i = 0; i < count(); ++i)
        if (isActiveAfterPlan(record(i)))
            return true;
    for (size_t i = 0; i < count(); ++i)
        record(i).scheduled = scheduleNone;
    if (verbose)
        repository.error("can not uninstall or disable all packages");
    return false;
}

bool related(const Package& a, const Package& b) {
    return isOrContains(a, b.name) || isOrContains(b, a.name);
}

} // namespace

const char* scheduledVerb(Scheduled scheduled) {
    static const char* const verbs[] = {"", "uninstall", "enable", "disable"};
    return scheduled >= 0 && scheduled < 4 ? verbs[scheduled] : "";
}

// An enabled record asked to be enabled once more (a user's schedule file can say so) stays
// what it is: active. Counting it as leaving would uninstall every package that needs it.
bool isActiveAfterPlan(const InstalledPackage& package) {
    if (package.disabled)
        return package.scheduled == scheduleEnable;
    return package.scheduled == scheduleNone || package.scheduled == scheduleEnable;
}

int candidateFate(const std::vector<InstalledPackage*>& candidates) {
    for (const InstalledPackage* candidate : candidates)
        if (isActiveAfterPlan(*candidate))
            return 0;
    for (const InstalledPackage* candidate : candidates) {
        bool staysDisabled = candidate->disabled && candidate->scheduled != scheduleEnable;
        bool goesDisabled = !candidate->disabled && candidate->scheduled == scheduleDisable;
        if (staysDisabled || goesDisabled)
            return 3;
    }
    return 1;
}

unsigned checkInstall(Repository& repository, const Package& package, unsigned silenced) {
    unsigned reasons = 0;
    bool spoken = false;
    // Records the reason; true when its message is the one this check prints.
    auto note = [&](InstallReason reason) {
        reasons |= reason;
        if (spoken || (silenced & reason))
            return false;
        spoken = true;
        return true;
    };
    std::string label = packageLabel(package);

    if (const InstalledPackage* installed = repository.find(package.name)) {
        int order = comparePackages(package, *installed);
        if (order < 0) {
            if (note(newerInstalled))
                repository.warning("omitting package %s: newer package %s is already installed",
                                   label.c_str(), packageLabel(*installed).c_str());
        } else if (order == 0) {
            if (note(sameInstalled))
                repository.warning("omitting package %s: it is already installed", label.c_str());
        } else {
            reasons |= olderInstalled;
        }
    }
    if (!package.architecture.empty() && package.architecture != architecture)
        if (note(notInstallable))
            repository.error("can not install %s: it is not made for %s, but for %s", label.c_str(),
                             architecture, package.architecture.c_str());
    for (const Requirement& need : package.depends) {
        if (!repository.candidates(need, false).empty())
            continue;
        if (note(notInstallable))
            repository.error("can not install %s: %s is not installed, but is required",
                             label.c_str(), bundleLabel(need.name, need.minVersion).c_str());
        break;
    }
    if (const InstalledPackage* excluder = repository.findConflicting(package))
        if (note(conflicting))
            repository.error("can not install %s: it conflicts with %s", label.c_str(),
                             packageLabel(*excluder).c_str());
    return reasons;
}

void orderPackages(Repository& repository, std::vector<Package*>& list, bool verbose) {
    std::vector<Package*> kept;
    for (size_t p = 0; p < list.size(); ++p) {
        Package& package = *list[p];
        bool dropped = false;
        for (size_t q = 0; q < list.size() && !dropped; ++q) {
            Package& other = *list[q];
            if (q == p || !related(package, other))
                continue;
            int order = comparePackages(other, package);
            if (order > 0) {
                if (verbose)
                    repository.warning("omitting package %s: newer package is already provided",
                                       packageLabel(package).c_str());
                dropped = true;
            } else if (order == 0) {
                // A bundle wins over a stand-alone package of its member's version. Between
                // two of a kind the first one stays: dropping both would lose the package.
                if (package.isBundle && !other.isBundle)
                    continue;
                if (package.isBundle == other.isBundle && q > p)
                    continue;
                dropped = true;
            }
        }
        if (!dropped)
            kept.push_back(&package);
    }

    std::vector<Package*> ordered;
    for (Package* package : kept) {
        size_t at = 0;
        for (size_t i = ordered.size(); i-- > 0;) {
            if (dependsOn(*package, *ordered[i]) || conflictsWith(*ordered[i], *package)) {
                at = i + 1;
                break;
            }
        }
        ordered.insert(ordered.begin() + std::ptrdiff_t(at), package);
    }
    list = std::move(ordered);
}

void orderPackages(Repository& repository, std::vector<InstalledPackage*>& list, bool verbose) {
    std::vector<Package*> packages(list.begin(), list.end());
    orderPackages(repository, packages, verbose);
    list.clear();
    for (Package* package : packages)
        list.push_back(static_cast<InstalledPackage*>(package));
}

void planChanges(Repository& repository, std::vector<InstalledPackage*>& removals,
                 std::vector<InstalledPackage*>& enables, bool verbose) {
    Planner planner(repository, verbose);
    planner.membersFollowBundles();
    planner.ensureActiveNeeds();
    planner.resolveConflicts();
    planner.settleDependents();
    planner.bundlesFollowMembers();
    if (!planner.keepsSomethingActive())
        return;

    std::vector<InstalledPackage*> leaving;
    for (const auto& package : repository.packages) {
        // Optional-member placeholders live in memory only and have no directory to act on.
        if (package->name.empty())
            continue;
        if (isScheduledAway(*package))
            leaving.push_back(package.get());
        else if (package->scheduled == scheduleEnable)
            enables.push_back(package.get());
    }
    orderPackages(repository, leaving, false);
    orderPackages(repository, enables, false);
    removals.assign(leaving.rbegin(), leaving.rend());
}

bool applyChanges(Repository& repository, bool verbose) {
    std::vector<InstalledPackage*> removals, enables;
    planChanges(repository, removals, enables, verbose);
    for (InstalledPackage* package : removals) {
        if (package->scheduled == scheduleUninstall) {
            package->remove();
            auto& records = repository.packages;
            auto at = std::find_if(records.begin(), records.end(),
                                   [&](const auto& record) { return record.get() == package; });
            if (at != records.end())
                records.erase(at);
            continue;
        }
        std::string label = packageLabel(*package);
        if (verbose)
            repository.setStatus("disabling " + label + "...");
        package->disable();
        if (verbose)
            repository.info("disabled %s", label.c_str());
    }
    for (InstalledPackage* package : enables) {
        std::string label = packageLabel(*package);
        if (verbose)
            repository.setStatus("enabling " + label + "...");
        package->enable();
        if (verbose)
            repository.info("enabled %s", label.c_str());
    }
    return !removals.empty() || !enables.empty();
}

} // namespace installer
