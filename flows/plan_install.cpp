#include "flows/plan_install.h"

#include "repository/planning.h"

namespace installer {

using installer::MenuEntry;
using installer::Package;

std::vector<MenuEntry*> planInstall(const std::vector<std::unique_ptr<MenuEntry>>& entries) {
    std::vector<Package*> list;
    for (const auto& entry : entries)
        if (entry->selected)
            list.push_back(entry.get());
    orderPackages(installer::Repository::instance(), list, true);
    // Ordering only drops and moves what it was given, all of them menu entries.
    std::vector<MenuEntry*> ordered;
    ordered.reserve(list.size());
    for (Package* package : list)
        ordered.push_back(static_cast<MenuEntry*>(package));
    return ordered;
}

} // namespace installer
