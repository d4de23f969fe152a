#pragma once
#include "disk/disk_record.h"

namespace installer {

// Repartitions, formats and mounts the target at /flash (and /flash/boot), and writes the new
// system's lilo.conf, fstab and base directories; with keepConfiguration the old configuration
// store comes across. False after a printed error, the disk in whatever state it was left.
bool prepareDisk(const DiskRecord& target, bool keepConfiguration);
// Mounts an existing installation of the target at /flash, with withBoot also /flash/boot.
bool mountTarget(const DiskRecord& target, bool withBoot);

} // namespace installer
