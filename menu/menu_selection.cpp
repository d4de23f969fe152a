// What the space bar and the "minimum" key do to the selection.
#include "menu/package_menu.h"
#include "package/record/record_relations.h"

namespace installer {

void toggleEntry(PackageMenu& menu, int index) {
    if (index < 0 || size_t(index) >= menu.entries.size())
        return;
    MenuEntry& entry = *menu.entries[size_t(index)];
    if (!entry.selected) {
        // Selected before its dependencies are looked at: a cycle of dependencies ends here.
        entry.selected = true;
        for (const Requirement& dependency : entry.depends) {
            int needed = findEntry(menu, dependency.name);
            if (needed >= 0 && !menu.entries[size_t(needed)]->selected)
                toggleEntry(menu, needed);
        }
        return;
    }
    if (entry.name == "system")
        return;
    entry.selected = false;
    // One pass: what needs only a package deselected here stays selected.
    for (auto& other : menu.entries)
        if (dependsOn(*other, entry))
            other->selected = false;
}

void selectMinimum(PackageMenu& menu) {
    for (auto& entry : menu.entries)
        entry->selected = entry->name == "system";
    drawAllEntries(menu);
}

} // namespace installer
