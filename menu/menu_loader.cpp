// Reading the medium into menu entries.
#include "menu/package_menu.h"
#include "menu/screen_text.h"
#include "package/owned_handles.h"
#include "package/record/version.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace installer {

namespace {

const char* const leadingOrder[] = {"system", "ppp", "dhcp"};

bool offered(const char* fileName) {
    size_t length = std::strlen(fileName);
    return length >= 4 && std::strcmp(fileName + length - 4, ".rpx") == 0;
}

void noPackages() {
    std::printf("FATAL ERROR: No packages found\n");
}

// The label of a file that did not open; a header that gave no name at all is named by its
// file, so that the user learns which one it was.
std::string failedLabel(const MenuEntry& entry, const char* fileName) {
    return screenSafe(entry.name.empty() ? std::string(fileName) : packageLabel(entry));
}

void putInFront(std::vector<std::unique_ptr<MenuEntry>>& entries, const PackageMenu& menu) {
    for (size_t position = 0; position < std::size(leadingOrder); ++position) {
        int found = findEntry(menu, leadingOrder[position]);
        if (found < 0)
            continue;
        std::unique_ptr<MenuEntry> entry = std::move(entries[size_t(found)]);
        entries.erase(entries.begin() + found);
        entries.insert(entries.begin() + long(std::min(position, entries.size())),
                       std::move(entry));
    }
}

} // namespace

int findEntry(const PackageMenu& menu, const std::string& name) {
    for (size_t i = 0; i < menu.entries.size(); ++i)
        if (menu.entries[i]->name == name)
            return int(i);
    return -1;
}

bool loadMenuPackages(PackageMenu& menu) {
    menu.entries.clear();
    OwnedDirectory directory(opendir(menu.medium.c_str()));
    if (!directory) {
        noPackages();
        return false;
    }
    // Built aside and handed over whole: a medium that fails part way leaves no half menu.
    std::vector<std::unique_ptr<MenuEntry>> entries;
    for (;;) {
        errno = 0;
        dirent* file = readdir(directory.get());
        if (!file) {
            if (errno != 0) {
                std::perror(menu.medium.c_str());
                noPackages();
                return false;
            }
            break;
        }
        if (!offered(file->d_name))
            continue;
        auto entry = std::make_unique<MenuEntry>();
        if (!entry->openPackageFile(menu.medium + "/" + file->d_name)) {
            std::printf("FATAL ERROR: Bad package %s\n\n",
                        failedLabel(*entry, file->d_name).c_str());
            return false;
        }
        entries.push_back(std::move(entry));
    }
    directory.reset();
    if (entries.empty()) {
        noPackages();
        return false;
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a->name < b->name; });
    menu.entries = std::move(entries);
    putInFront(menu.entries, menu);
    return true;
}

} // namespace installer
