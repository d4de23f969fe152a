// The entries of a package's file archive: the objects of a directory tree, in sorted order,
// with the manifest's declared nodes and attributes applied.
#pragma once

#include "package/format/format.h"
#include "tools/rpx/manifest.h"

#include <string>
#include <vector>

namespace rpx {

struct TreeEntry {
    std::string path; // below the package root, no leading "/"
    installer::FileEntryHeader header;
    std::string source;     // host file of a regular entry
    std::string linkTarget; // of a symbolic link
    uint32_t device = 0;    // of a device node
};

// Walks `root` (not following symbolic links) and adds the manifest's nodes. Entries come out
// sorted byte-wise by path, so a directory precedes what it holds and the same tree always
// gives the same order. False, with `error` naming the path, for what the archive cannot hold
// (sockets, ids or times out of range, sizes over 4 GiB).
bool collectTree(const std::string& root, const Manifest& manifest, std::vector<TreeEntry>& out,
                 std::string& error);

// Adds the manifest's declared nodes and attributes to entries (kept sorted).
bool applyDeclarations(const Manifest& manifest, std::vector<TreeEntry>& entries,
                       std::string& error);

} // namespace rpx
