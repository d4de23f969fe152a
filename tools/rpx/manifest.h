// The manifest of a package or bundle: a small text file of "key: value" lines that says what
// the package tool puts into the header parts, which scripts and payload to take, and how to
// treat the entries of the tree (owners, declared device nodes and FIFOs).
#pragma once

#include "package/format/format.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace rpx {

// A file-system object the manifest declares, or the attributes it imposes on a tree entry.
struct DeclaredNode {
    std::string path; // below the package root, without a leading "/"
    char type = 0;    // 'c', 'b', 'p' (FIFO), 'd' (directory), 'a' (attributes of a tree entry)
    uint32_t device = 0;
    uint16_t mode = 0; // permission bits only
    uint16_t uid = 0, gid = 0;
};

struct Manifest {
    std::string name;
    uint32_t version = 0;
    std::optional<uint32_t> buildTime;
    std::optional<std::string> architecture;
    std::optional<std::string> description;
    std::vector<installer::RequirementRecord> depends, provides, conflicts, members;
    std::string onInstall, onUninstall, payload; // paths, resolved against the manifest's folder
    bool unregistered = false;
    std::optional<uint16_t> ownerUid, ownerGid; // every tree entry gets this owner
    std::optional<uint32_t> entryTime;          // every entry gets this modification time
    std::vector<DeclaredNode> nodes;
};

// Parses a manifest. `folder` is where relative script and payload paths start. On failure
// `error` says which line and what is wrong.
bool parseManifest(std::istream& in, const std::string& folder, Manifest& manifest,
                   std::string& error);

// A path inside a package: relative, no empty, "." or ".." components, no NUL, at most 65535
// bytes. Returns the normal form (no leading or doubled "/"), or nothing.
std::optional<std::string> normalEntryPath(const std::string& path);

// A package name: 1 to 16 bytes, not "." or "..", no "/", blank or control character.
bool isValidPackageName(const std::string& name);

} // namespace rpx
