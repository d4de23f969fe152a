#pragma once
// The CD-ROM installation: packages from the disc, picked in the menu, installed onto the
// target disk in dependency order.
#include "disk/disk_record.h"

#include <string>

namespace installer {

// Mounts a candidate device at /floppy; true when it is the disc. The installer's own
// (mountIsoDisc) mounts it read-only as iso9660; tests on kernels without iso9660 serve the
// disc another way.
using DiscMount = bool (*)(const char* device);
bool mountIsoDisc(const char* device);

// cdromInstall with the disc found through mountDisc.
bool cdromInstallWith(DiskRecord& target, DiscMount mountDisc);

// Streams one package file into a fresh installer child, 4096 bytes a block. False after the
// message when the child cannot be started, the file cannot be read, or the child died.
bool sendPackageFile(const std::string& path);

} // namespace installer
