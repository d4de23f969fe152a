// The in-memory description of one package: identity, what it needs, offers and excludes, and
// for a bundle the member packages it carries. The package database's record and the package
// file on a medium derive from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace installer {

// A name with a version range: a dependency, a provided name, a conflict, a bundle membership.
struct Requirement {
    std::string name;
    uint32_t minVersion = 0; // lowest accepted version; 0 = no lower bound
    uint32_t maxVersion = 0; // highest accepted version, inclusive; 0 = no upper bound
    int32_t priority = 0;    // only meaningful in a provides list
};

struct Package {
    std::string name;
    uint32_t version = 0;
    uint32_t buildTime = 0; // seconds since 1970 UTC; breaks ties between equal versions
    std::string architecture;
    std::string description;
    bool hasPayload = false; // a payload part follows the header parts
    std::vector<Requirement> depends;
    std::vector<Requirement> provides;
    std::vector<Requirement> conflicts;
    bool isBundle = false;
    std::vector<std::unique_ptr<Package>> members; // a bundle's packages, in file order

    Package() = default;
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;
    virtual ~Package() = default;
};

} // namespace installer
