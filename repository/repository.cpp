#include "repository/repository.h"

#include "package/owned_handles.h"
#include "package/record/record_relations.h"
#include "package/record/record_root.h"
#include "package/record/version.h"

#include <dirent.h>
#include <unistd.h>

namespace installer {

Repository& Repository::instance() {
    static Repository repository;
    return repository;
}

void Repository::loadDatabase(bool beQuiet) {
    quiet = beQuiet;
    // Looked up inside the target like every record, so a link on the target cannot make
    // another folder pass for the database.
    InstallationRoot target = InstallationRoot::target();
    ConfinedRoot root(target);
    OwnedDirectory dir = listDirectory(root.openDirectory(target.databaseInside(), false));
    if (!dir) {
        warning("could not open repo");
        return;
    }
    while (dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.')
            continue;
        auto package = std::make_unique<InstalledPackage>();
        package->load(entry->d_name);
        add(std::move(package));
    }
}

InstalledPackage* Repository::find(const std::string& name) const {
    int index = findIndex(name);
    return index < 0 ? nullptr : packages[size_t(index)].get();
}

int Repository::findIndex(const std::string& name) const {
    for (size_t i = 0; i < packages.size(); ++i)
        if (packages[i]->name == name)
            return int(i);
    return -1;
}

void Repository::add(std::unique_ptr<InstalledPackage> package) {
    packages.push_back(std::move(package));
}

void Repository::removeByName(const std::string& name) {
    int index = findIndex(name);
    if (index < 0)
        return;
    packages[size_t(index)]->remove();
    packages.erase(packages.begin() + index);
}

std::string Repository::ownerOf(const std::string& path) const {
    for (const auto& package : packages)
        if (package->files.count(path))
            return package->name;
    return "";
}

std::vector<InstalledPackage*> Repository::candidates(const Requirement& requirement,
                                                      bool includeDisabled) const {
    std::vector<InstalledPackage*> found;
    for (const auto& package : packages) {
        if (package->disabled && !includeDisabled)
            continue;
        if (satisfies(*package, requirement) || providesFor(*package, requirement))
            found.push_back(package.get());
    }
    return found;
}

InstalledPackage* Repository::findConflicting(const Package& package) const {
    for (const auto& installed : packages)
        if (!installed->disabled && conflictsWith(*installed, package))
            return installed.get();
    return nullptr;
}

} // namespace installer
