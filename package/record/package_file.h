// A package file found on a medium, as the selection menu shows it: its header parts and, for
// a bundle, the headers of its member packages.
#pragma once

#include "package/record/package.h"

#include <cstdint>
#include <string>

namespace installer {

struct PackageFile : Package {
    std::string path;
    std::string sourcePath;
    uint64_t totalSize = 0; // as the file header declares it, plus 8
    bool unregistered = false;

    // Reads the header parts of the file at `path`. False when the file cannot be read, its
    // declared size differs from its size on disk, its header parts are broken, or it is a
    // bundle without members.
    bool openPackageFile(const std::string& filePath);
};

} // namespace installer
