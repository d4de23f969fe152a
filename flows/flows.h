#pragma once
#include "disk/disk_record.h"

namespace installer {

bool cdromInstall(DiskRecord& target);
bool hardDiskInstall(DiskRecord& target);

} // namespace installer
