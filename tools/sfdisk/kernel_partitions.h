#pragma once
// Making the kernel and /dev see a freshly written table. A kernel without DOS partition support
// (or a loop device) never reads the table itself, so every partition is announced by hand.
#include "tools/sfdisk/cylinder_table.h"

#include <string>

namespace sfdisk {

// Drops every partition the kernel knows on device, adds entries, and gives each a device node
// named after the disk's ("/dev/sda" → "/dev/sda1"), removing nodes of partitions that are gone.
// Nothing to do for an image file.
bool publishPartitions(const std::string& device, const TableEntry (&entries)[4],
                       std::string& error);

} // namespace sfdisk
