#pragma once
#include "disk/disk_record.h"

#include <cstdio>

namespace installer {

// The table of up to four disks from one geometry listing, or null when none was found.
DiskRecord* listDisks();
// Waits up to about 20 seconds for a disk, copies the first into target and announces it.
bool findHardDisk(DiskRecord& target);

// A record for one disk of the given geometry, with the layout flags that geometry calls for.
DiskRecord describeDisk(const char* device, unsigned cylinders, unsigned heads, unsigned sectors);
// Reads a geometry listing into table (at most capacity records); the number of disks stored.
int readDiskListing(FILE* listing, DiskRecord* table, int capacity);
// The name the console uses for a device: its place on the controller, or else its path.
const char* deviceLabel(const char* device);

} // namespace installer
