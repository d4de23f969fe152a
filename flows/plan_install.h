#pragma once
// The selected menu entries in the order they are to be installed.
#include "menu/package_menu.h"

#include <memory>
#include <vector>

namespace installer {

// The entries that carry a selection mark, in list order, put in dependency order by the
// repository (which says why it drops one). The entries stay owned by the caller.
std::vector<installer::MenuEntry*>
planInstall(const std::vector<std::unique_ptr<installer::MenuEntry>>& entries);

} // namespace installer
