#include "testbed/partition_boot_sector.h"

const unsigned char partitionBootSector[512] = {
#include "disk/partition_boot_sector.inc"
};
