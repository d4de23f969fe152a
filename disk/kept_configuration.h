#pragma once
#include "disk/disk_record.h"

// The configuration store of an old installation, held in memory across the reformat.
struct ConfigStore;

// Copies the old installation's store into memory; null when there is none to keep.
ConfigStore* readOldConfiguration(const DiskRecord& target);
// Recreates the store below the new /flash and frees it.
bool writeBackConfiguration(ConfigStore* store);
