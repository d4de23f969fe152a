#pragma once
#include "disk/disk_record.h"

namespace installer {

// Runs the new system's finishing step inside /flash, flushes, checks a one-partition file
// system, and unmounts the target.
void finishInstall(const DiskRecord& target);

} // namespace installer
