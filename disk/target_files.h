#pragma once
// The files and directories every new system starts with, written below root ("/flash").
#include "disk/disk_record.h"

namespace installer {

// Each prints its own message and returns false when its file cannot be written.
bool writeLiloConf(const char* root, const DiskRecord& disk);
bool writeFstab(const char* root, const DiskRecord& disk);
// The empty marker that spares a journaled file system its boot-time check.
void markNoFsck(const char* root);
// rw, vela, vela/etc, var, var/pdb; a failure is reported and the next one is tried.
void createBaseDirectories(const char* root);

} // namespace installer
