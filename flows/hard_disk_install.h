#pragma once
// The installation from a FAT medium on the very disk that is installed.
#include "disk/disk_record.h"

#include <cstddef>

namespace installer {

// Mounts a candidate device at /floppy as the medium's file system; true when it mounted.
using MediumMount = bool (*)(const char* device);

// The medium as the installer mounts it: FAT on the whole disk.
bool mountFatMedium(const char* device);

// The room for package files in memory.
constexpr size_t mediumPackageSlots = 50;

// The search for the medium: every candidate disk in turn, in up to twenty passes a second
// apart; the device it is mounted from (at /floppy), or nullptr.
const char* findMedium(MediumMount mountMedium);

// hardDiskInstall with the medium mounted by `mountMedium` (a sandbox without FAT support
// serves it another way).
bool hardDiskInstallFrom(DiskRecord& target, MediumMount mountMedium);

} // namespace installer
