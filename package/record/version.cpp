#include "package/record/version.h"

#include "package/record/package.h"

#include <cstdio>

namespace installer {

std::string formatVersion(uint32_t version) {
    unsigned major = versionMajor(version), minor = versionMinor(version);
    unsigned kind = versionKind(version), number = versionNumber(version);
    char text[80];
    if (kind == releaseFinal) {
        if (number != 0)
            std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, number);
        else
            std::snprintf(text, sizeof text, "%u.%u", major, minor);
        return text;
    }
    const char* label = kind == releaseAlpha       ? "alpha"
                        : kind == releaseBeta      ? "beta"
                        : kind == releaseCandidate ? "rc"
                                                   : "";
    if (number != 0)
        std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, label, number);
    else
        std::snprintf(text, sizeof text, "%u.%u%s", major, minor, label);
    return text;
}

namespace {

// Reads a decimal number of at most three digits, no larger than 255.
bool takeByte(std::string_view& text, uint8_t& value) {
    size_t digits = 0;
    unsigned number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 4)
        number = number * 10 + unsigned(text[digits++] - '0');
    if (digits == 0 || digits > 3 || number > 255)
        return false;
    text.remove_prefix(digits);
    value = uint8_t(number);
    return true;
}

} // namespace

bool parseVersion(std::string_view text, uint32_t& version) {
    uint8_t major = 0, minor = 0, number = 0;
    if (!takeByte(text, major) || text.empty() || text[0] != '.')
        return false;
    text.remove_prefix(1);
    if (!takeByte(text, minor))
        return false;
    uint8_t kind = releaseFinal;
    if (!text.empty() && text[0] == '.') {
        text.remove_prefix(1);
        if (!takeByte(text, number) || number == 0)
            return false;
    } else if (!text.empty()) {
        static const struct {
            std::string_view label;
            uint8_t kind;
        } labels[] = {{"alpha", releaseAlpha}, {"beta", releaseBeta}, {"rc", releaseCandidate}};
        bool found = false;
        for (const auto& l : labels) {
            if (text.substr(0, l.label.size()) == l.label) {
                text.remove_prefix(l.label.size());
                kind = l.kind;
                found = true;
                break;
            }
        }
        if (!found || (!text.empty() && !takeByte(text, number)))
            return false;
    }
    if (!text.empty())
        return false;
    version = makeVersion(major, minor, kind, number);
    return true;
}

std::string packageLabel(const Package& package) {
    return package.name + "-" + formatVersion(package.version);
}

std::string bundleLabel(const std::string& name, uint32_t version) {
    return version == 0 ? name : name + "-" + formatVersion(version);
}

std::string displayLabel(const Package& package, const Requirement& bundle) {
    if (!bundle.name.empty())
        return bundleLabel(bundle.name, bundle.minVersion);
    return packageLabel(package);
}

namespace {

const Package* memberNamed(const Package& bundle, const std::string& name) {
    for (const auto& member : bundle.members)
        if (member && member->name == name)
            return member.get();
    return nullptr;
}

} // namespace

int comparePackages(const Package& first, const Package& second) {
    const Package* a = &first;
    const Package* b = &second;
    int sign = +1;
    // Each step descends one level into a bundle's members, and members hold no members of
    // their own in any record this system builds; the bound only guards against a cycle.
    for (int depth = 0; a->name != b->name; ++depth) {
        if (depth > 64)
            return 0;
        if (const Package* m = memberNamed(*a, b->name)) {
            a = m;
        } else if (const Package* m = memberNamed(*b, a->name)) {
            b = a;
            a = m;
            sign = -sign;
        } else {
            return 0;
        }
    }
    if (a->version != b->version)
        return a->version > b->version ? sign : -sign;
    if (a->buildTime != b->buildTime)
        return a->buildTime > b->buildTime ? sign : -sign;
    return 0;
}

bool satisfies(const Package& package, const Requirement& requirement) {
    if (package.name != requirement.name)
        return false;
    return package.version >= requirement.minVersion &&
           (requirement.maxVersion == 0 || package.version <= requirement.maxVersion);
}

bool overlaps(const Requirement& provided, const Requirement& requirement) {
    if (provided.name != requirement.name)
        return false;
    if (provided.minVersion != 0 && requirement.maxVersion != 0 &&
        provided.minVersion > requirement.maxVersion)
        return false;
    return provided.maxVersion == 0 || requirement.minVersion == 0 ||
           provided.maxVersion >= requirement.minVersion;
}

} // namespace installer
