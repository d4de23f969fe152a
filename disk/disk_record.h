#pragma once
#include <cstdint>

namespace installer {

// The install target: one hard disk and the layout its geometry calls for.
struct DiskRecord {
    char device[32] = {};          // e.g. "/dev/hda"; partition N is device + "N"
    uint32_t cylinders = 0;        // as reported by the partitioning tool
    uint32_t bytesPerCylinder = 0; // heads * sectors per track * 512, in 32 bits
    bool separateBoot = false;     // more than 1023 cylinders: 10 MiB boot partition + system
    bool journaled = false;        // more than 40 MiB: ext3 system file system
};

} // namespace installer
