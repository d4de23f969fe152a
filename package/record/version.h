// The version word of a package (major.minor, release kind, number), its text form, the order
// of versions and of packages, the range tests of requirements, and the labels under which
// packages appear in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace installer {

struct Package;
struct Requirement;

// Release kinds stored in bits 15-8 of a version word. Any other value is a pre-release
// without a label; the order is the plain order of the character codes.
constexpr uint8_t releaseAlpha = 'a';
constexpr uint8_t releaseBeta = 'b';
constexpr uint8_t releaseCandidate = 'c';
constexpr uint8_t releaseFinal = 'f';

constexpr uint32_t makeVersion(uint8_t major, uint8_t minor, uint8_t kind, uint8_t number) {
    return uint32_t(major) << 24 | uint32_t(minor) << 16 | uint32_t(kind) << 8 | number;
}
constexpr unsigned versionMajor(uint32_t version) {
    return version >> 24;
}
constexpr unsigned versionMinor(uint32_t version) {
    return (version >> 16) & 0xff;
}
constexpr unsigned versionKind(uint32_t version) {
    return (version >> 8) & 0xff;
}
constexpr unsigned versionNumber(uint32_t version) {
    return version & 0xff;
}

// "2.9.27", "3.0", "3.0alpha5", "3.0beta", "3.0rc1", "3.05" (a kind without a label).
std::string formatVersion(uint32_t version);

// The reverse of formatVersion for the texts it produces with a known kind ("3.0", "2.9.27",
// "3.0rc1", "3.0alpha", "3.0beta2"); used by the package tool, never by the installer, which
// only meets version words. False for anything else, including numbers above 255.
bool parseVersion(std::string_view text, uint32_t& version);

// name "-" formatVersion(version), e.g. "system-2.9.27".
std::string packageLabel(const Package& package);

// The name alone when version is 0, otherwise name "-" formatVersion(version).
std::string bundleLabel(const std::string& name, uint32_t version);

// The label failure messages use. `bundle` is the bundle the package was installed from (the
// installed record's `bundle` requirement; an empty name for a package installed on its own):
// a bundle member is shown under its bundle's label, since that is what the user chose.
// Package itself carries no bundle reference, so callers with an installed record pass it in.
std::string displayLabel(const Package& package, const Requirement& bundle);

// -1, 0 or +1: +1 when a is the newer of the two. Packages of different names compare through
// a bundle's members (first match in stored order); unrelated packages give 0.
int comparePackages(const Package& a, const Package& b);

// Same name, and the package's version within [minVersion, maxVersion] (0 = open end).
bool satisfies(const Package& package, const Requirement& requirement);

// Same name, and the provided range and the required range (0 = open end) share a version.
bool overlaps(const Requirement& provided, const Requirement& requirement);

} // namespace installer
