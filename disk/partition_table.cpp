#include "disk/partition_table.h"

#include <cstdint>
#include <cstring>

namespace installer {

namespace {

constexpr uint32_t bootPartitionBytes = 0xa00000; // 10 MiB

} // namespace

uint32_t bootPartitionCylinders(const DiskRecord& disk) {
    return (disk.bytesPerCylinder + (bootPartitionBytes - 1)) / disk.bytesPerCylinder;
}

const char* layoutProblem(const DiskRecord& disk) {
    // Without heads or sectors there are no cylinders to count in, and the boot partition's
    // size would be a division by zero.
    if (disk.bytesPerCylinder == 0)
        return "the disk reports no heads or no sectors per track";
    // A disk smaller than one cylinder would get a table of one empty entry, with the old
    // table's entries cleared, and only then fail to format.
    if (disk.cylinders == 0)
        return "the disk has no cylinders";
    // The table is written in signed decimal cylinders.
    if (disk.cylinders > INT32_MAX)
        return "the disk has more cylinders than a partition table can hold";
    if (disk.separateBoot && bootPartitionCylinders(disk) >= disk.cylinders)
        return "the disk is too small for a boot partition";
    return nullptr;
}

int countTableEntries(FILE* dump) {
    int entries = 0;
    bool lineStart = true;
    char piece[256];
    while (std::fgets(piece, sizeof piece, dump)) {
        if (lineStart && std::strncmp(piece, "/dev/", 5) == 0)
            ++entries;
        lineStart = std::strchr(piece, '\n') != nullptr;
    }
    return entries;
}

bool writePartitionTable(FILE* tool, const DiskRecord& disk, int oldEntries) {
    int written = 1;
    if (!disk.separateBoot) {
        std::fprintf(tool, "0,%d,83,*\n", static_cast<int>(disk.cylinders));
    } else {
        uint32_t boot = bootPartitionCylinders(disk);
        std::fprintf(tool, "0,%d,83,*\n", static_cast<int>(boot));
        std::fprintf(tool, "%d,%d,83,-\n", static_cast<int>(boot),
                     static_cast<int>(disk.cylinders - boot));
        written = 2;
    }
    // Entries the old table had beyond the new ones are cleared, not left behind.
    for (; written < oldEntries; ++written)
        std::fputs("0,0,0\n", tool);
    return std::fflush(tool) == 0 && !std::ferror(tool);
}

} // namespace installer
