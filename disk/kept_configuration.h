#pragma once
// Keeping the old configuration across the reformat: the old installation's store directory is
// copied into memory before the disk is repartitioned and recreated at the same paths after the
// new file systems exist.
#include "disk/config_store.h"
#include "disk/disk_record.h"

#include <memory>
#include <string>

namespace installer {

// Copies the old installation's store into memory; null when there is none to keep (with a
// message when one could not be read).
std::unique_ptr<ConfigStore> readOldConfiguration(const DiskRecord& target);
// Recreates the store below the new /flash; the store is freed in every case.
bool writeBackConfiguration(std::unique_ptr<ConfigStore> store);
// Appends the entry for path and, for a directory, everything below it in depth-first
// pre-order, links followed. A directory met again below itself (a link loop) fails.
bool readTree(ConfigStore& store, const std::string& path);

} // namespace installer
