#pragma once
// The disk's first sector around a table write: the sector-based tool rewrites it whole, but
// only the partition table and signature are this tool's to change.
#include "tools/sfdisk/cylinder_table.h"

#include <string>

namespace sfdisk {

bool readBootArea(const std::string& device, unsigned char (&area)[446], std::string& error);
// Puts area back in front of the new table and sets each entry's cylinder/head/sector fields for
// geometry, which BIOS-era boot code loads the partition by.
bool restoreBootArea(const std::string& device, const unsigned char (&area)[446],
                     const TableEntry (&entries)[4], const Geometry& geometry, std::string& error);

} // namespace sfdisk
