#include "package/record/record_relations.h"

#include "package/record/version.h"

namespace installer {

bool providesFor(const Package& package, const Requirement& requirement) {
    for (const Requirement& entry : package.provides)
        if (overlaps(entry, requirement))
            return true;
    return false;
}

bool dependsOn(const Package& package, const Package& other) {
    for (const Requirement& need : package.depends)
        if (satisfies(other, need) || providesFor(other, need))
            return true;
    for (const auto& member : other.members)
        if (dependsOn(package, *member))
            return true;
    for (const auto& member : package.members)
        if (dependsOn(*member, other))
            return true;
    return false;
}

bool conflictsWith(const Package& package, const Package& other) {
    for (const Requirement& excluded : package.conflicts)
        if (satisfies(other, excluded))
            return true;
    for (const Requirement& offered : other.provides)
        if (offered.name == package.name)
            return offered.priority < 0;
    for (const Requirement& mine : package.provides) {
        if (mine.name == other.name)
            return mine.priority >= 0;
        for (const Requirement& theirs : other.provides)
            if (theirs.name == mine.name)
                return mine.priority > theirs.priority;
    }
    for (const Requirement& excluded : package.conflicts)
        if (providesFor(other, excluded))
            return true;
    for (const auto& member : other.members)
        if (member->name == package.name)
            return true;
    for (const auto& member : package.members)
        if (conflictsWith(*member, other))
            return true;
    return false;
}

bool isOrContains(const Package& package, const std::string& name) {
    if (package.name == name)
        return true;
    for (const auto& member : package.members)
        if (member->name == name)
            return true;
    return false;
}

} // namespace installer
