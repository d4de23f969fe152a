// Package files and menus of a precise shape for the menu's tests: header parts only, which is
// all the menu reads.
#pragma once

#include "menu/package_menu.h"
#include "package/format/format.h"
#include "package/format/writer.h"
#include "testbed/support/memory_stream.h"

#include <memory>
#include <string>
#include <vector>

namespace menutest {

inline std::string packageBytes(const std::string& name, const std::vector<std::string>& depends,
                                const std::string& description = "",
                                uint32_t version = 0x02090000) {
    using namespace installer;
    std::string parts = partBytes(partHeader, headerBodyBytes({name, version, 1000}));
    if (!description.empty())
        parts += partBytes(partDescription, description);
    std::vector<RequirementRecord> list;
    for (const std::string& dependency : depends)
        list.push_back({dependency, 0, 0, 0});
    if (!depends.empty())
        parts += partBytes(partDepends, requirementListBytes(list));
    return packageFileBytes(parts);
}

// An entry as loadMenuPackages would make it, without a file.
inline std::unique_ptr<installer::MenuEntry> entry(const std::string& name,
                                                   const std::vector<std::string>& depends = {},
                                                   const std::string& description = "") {
    auto made = std::make_unique<installer::MenuEntry>();
    made->name = name;
    made->description = description;
    for (const std::string& dependency : depends)
        made->depends.push_back({dependency, 0, 0, 0});
    return made;
}

// What the menu drew into memory.
using MemoryScreen = MemoryStream;

} // namespace menutest
