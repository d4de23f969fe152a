// Package and bundle files signed with the development key, as `rpx build` and `rpx sign` make
// them, and a repository console kept in memory.
#pragma once

#include "package/record/package.h"
#include "repository/repository.h"
#include "testbed/support/package_drafts.h"
#include "testbed/support/repository_console.h"

#include <string>
#include <vector>

namespace streamtest {

using namespace installer;
using testpkg::Draft;

using testsign::signParts;

struct BundleSpec {
    std::string name = "base";
    uint32_t version = makeVersion(1, 0, 'f', 0);
    std::vector<std::string> optional; // the member list
    std::vector<Draft> members;
    std::string architecture;

    std::string file() const {
        std::string parts = partBytes(partBundleHeader, headerBodyBytes({name, version, 5}));
        if (!architecture.empty())
            parts += partBytes(partArchitecture, architecture);
        std::vector<Requirement> list;
        for (const std::string& entry : optional)
            list.push_back({entry, 0, 0, 0});
        parts += testpkg::requirementPart(partMembers, list);
        for (const Draft& member : members)
            parts += signParts(member.parts());
        return packageFileBytes(parts);
    }
};

// The package's parts with another build time in its header.
inline std::string withBuildTime(const Draft& draft, uint32_t buildTime) {
    std::string header =
        partBytes(partHeader, headerBodyBytes({draft.name, draft.version, buildTime}));
    return header + draft.parts().substr(header.size());
}

// A package of one regular file "/NAME/file" holding `content`.
inline Draft simple(const std::string& name, uint32_t version = makeVersion(1, 0, 'f', 0),
                    const std::string& content = "data") {
    Draft draft;
    draft.name = name;
    draft.version = version;
    draft.entries = {testpkg::directory(name), testpkg::regular(name + "/file", content)};
    return draft;
}

using Console = testconsole::CapturedConsole;
using testconsole::messageLines;

} // namespace streamtest
