#pragma once
// The disks this machine has, and the geometry the tool gives each of them.
#include "tools/sfdisk/cylinder_table.h"

#include <string>
#include <vector>

namespace sfdisk {

// Where a boot image, or a test, fixes the geometry of a disk whose driver reports none: lines
// "<device> <heads> <sectors per track>".
inline constexpr const char* geometryOverrides = "/etc/sfdisk.geometry";

// The disk devices present, in the order of their names: /dev/hda.. then /dev/sda...
std::vector<std::string> presentDisks();
// Size from the device; heads and sectors from the overrides, else the driver, else 255 x 63.
bool readGeometry(const std::string& device, Geometry& geometry, std::string& error);
// The heads and sectors the overrides list for device, when they name it.
bool findOverride(FILE* overrides, const std::string& device, unsigned& heads, unsigned& sectors);

} // namespace sfdisk
