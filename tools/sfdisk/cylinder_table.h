#pragma once
// Partition tables in cylinder units, as the installer speaks them, and their translation to
// and from sectors, which is all the partitioning tool underneath understands.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sfdisk {

struct Geometry {
    unsigned heads = 0;
    unsigned sectorsPerTrack = 0;
    uint64_t totalSectors = 0;

    uint64_t sectorsPerCylinder() const { return uint64_t{heads} * sectorsPerTrack; }
    uint64_t cylinders() const {
        return sectorsPerCylinder() ? totalSectors / sectorsPerCylinder() : 0;
    }
};

// One primary entry; size 0 is an empty slot.
struct TableEntry {
    uint64_t start = 0; // sectors
    uint64_t size = 0;  // sectors
    unsigned type = 0;
    bool bootable = false;
};

// Reads the installer's lines "start,size,type[,mark]" (cylinders; type in hex; mark "*" or
// "-") into the four primary entries. A partition that starts at cylinder 0 begins after the
// first track. False with a message in error for anything it cannot place on the disk.
bool readCylinderTable(FILE* input, const Geometry& geometry, TableEntry (&entries)[4],
                       std::string& error);

// The input the sector-based tool reads for these entries; partition names are built from the
// device path as that tool builds them.
std::string sectorScript(const std::string& device, const TableEntry (&entries)[4]);

// One line of the sector-based tool's dump ("/dev/sda1 : start= 63, size= 1028097, type=83,
// bootable") in cylinders; false for any other line.
bool dumpLineInCylinders(const std::string& line, const Geometry& geometry, std::string& out);

// The three cylinder/head/sector bytes of a partition entry for a sector number; past the
// 1024th cylinder the largest address that fits.
void encodeChs(uint64_t sector, const Geometry& geometry, unsigned char (&chs)[3]);

// The name of partition number of device ("/dev/sda" 1 → "/dev/sda1", "/dev/loop0" →
// "/dev/loop0p1").
std::string partitionName(const std::string& device, int number);

} // namespace sfdisk
