#pragma once
#include "disk/disk_record.h"

// The table of up to four disks from one geometry listing, or null when none was found.
DiskRecord* listDisks();
// Waits up to about 20 seconds for a disk, copies the first into target and announces it.
bool findHardDisk(DiskRecord& target);
