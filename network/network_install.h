#pragma once
#include "disk/disk_record.h"

bool runNetworkInstall(DiskRecord& target);
