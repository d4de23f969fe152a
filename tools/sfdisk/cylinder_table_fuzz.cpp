// The boot image's sfdisk on arbitrary text: the installer's cylinder table read from standard
// input, the sector tool's dump lines translated back to cylinders, and the geometry overrides,
// for a disk geometry taken from the front of the input. Beyond crashes, a table it accepts must
// lie on the disk: every entry inside the cylinders the disk has, past the first track, and
// within what a DOS table can address.
#include "testbed/fuzz_support.h"
#include "tools/sfdisk/cylinder_table.h"
#include "tools/sfdisk/disk_device.h"

#include <cstdlib>
#include <string>

using namespace sfdisk;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    Geometry geometry;
    geometry.heads = cursor.byte();
    geometry.sectorsPerTrack = cursor.byte();
    geometry.totalSectors = cursor.u32() | uint64_t(cursor.byte()) << 32;
    std::string text(cursor.rest());

    FILE* input = fuzz::openBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    TableEntry entries[4];
    std::string error;
    if (readCylinderTable(input, geometry, entries, error)) {
        uint64_t diskEnd = geometry.cylinders() * geometry.sectorsPerCylinder();
        for (const TableEntry& entry : entries) {
            if (entry.size == 0)
                continue;
            if (entry.start < geometry.sectorsPerTrack || entry.start + entry.size > diskEnd ||
                entry.start + entry.size > UINT32_MAX || entry.type == 0 || entry.type > 0xff)
                std::abort();
            unsigned char chs[3];
            encodeChs(entry.start, geometry, chs);
            encodeChs(entry.start + entry.size - 1, geometry, chs);
        }
        sectorScript("/dev/sda", entries);
    } else if (error.empty()) {
        std::abort();
    }
    std::fclose(input);

    for (size_t from = 0; from < text.size();) {
        size_t end = std::min(text.find('\n', from), text.size());
        std::string out;
        if (dumpLineInCylinders(text.substr(from, end - from), geometry, out) &&
            (out.empty() || out.back() != '\n'))
            std::abort();
        from = end + 1;
    }

    FILE* overrides = fuzz::openBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    unsigned heads = 0, sectors = 0;
    findOverride(overrides, "/dev/sda", heads, sectors);
    std::fclose(overrides);
    return 0;
}
