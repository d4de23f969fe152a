#pragma once
// The new partition table as the partitioning tool is told it, in cylinders.
#include "disk/disk_record.h"

#include <cstdint>
#include <cstdio>

namespace installer {

// The smallest number of cylinders that holds the 10 MiB boot partition.
uint32_t bootPartitionCylinders(const DiskRecord& disk);
// Why the disk cannot take its layout (a text for the console), or null when it can.
const char* layoutProblem(const DiskRecord& disk);
// The number of entries in a table dump: its lines that begin with "/dev/".
int countTableEntries(FILE* dump);
// Writes the layout's entry lines, then an empty entry for every further old entry. False when
// the tool could not be told (it went away).
bool writePartitionTable(FILE* tool, const DiskRecord& disk, int oldEntries);

} // namespace installer
