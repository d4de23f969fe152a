#pragma once
#include "disk/disk_record.h"

bool cdromInstall(DiskRecord& target);
bool hardDiskInstall(DiskRecord& target);
