// The installer's readings of the boot image sfdisk's output on arbitrary text: the geometry
// listing of disk discovery and the count of entries in a table dump. Beyond crashes, every disk
// record it makes must name a device below /dev/ in a NUL-terminated path, and the partition
// table written for a disk whose layout is accepted must lie on that disk, entries in order.
#include "disk/discovery.h"
#include "disk/partition_table.h"
#include "testbed/fuzz_support.h"

#include <cstdlib>
#include <cstring>

using namespace installer;

namespace {

// The table written for a disk the layout accepts lies on the disk.
void checkLayout(const DiskRecord& disk) {
    char* text = nullptr;
    size_t length = 0;
    FILE* tool = open_memstream(&text, &length);
    if (!writePartitionTable(tool, disk, 4))
        std::abort();
    std::fclose(tool);
    uint64_t end = 0;
    for (const char* line = text; *line; line = std::strchr(line, '\n') + 1) {
        long long start = 0, cylinders = 0;
        if (std::sscanf(line, "%lld,%lld", &start, &cylinders) != 2 || start < 0 || cylinders < 0 ||
            (cylinders > 0 && uint64_t(start) < end))
            std::abort();
        if (cylinders > 0)
            end = uint64_t(start + cylinders);
    }
    if (end > disk.cylinders || end == 0)
        std::abort();
    std::free(text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DiskRecord table[4];
    FILE* listing = fuzz::openBytes(data, size);
    int found = readDiskListing(listing, table, 4);
    std::fclose(listing);
    if (found < 0 || found > 4)
        std::abort();
    for (int i = 0; i < found; ++i) {
        const DiskRecord& disk = table[i];
        if (!std::memchr(disk.device, '\0', sizeof disk.device) ||
            std::strncmp(disk.device, "/dev/", 5) != 0)
            std::abort();
        deviceLabel(disk.device);
        if (!layoutProblem(disk))
            checkLayout(disk);
    }

    FILE* dump = fuzz::openBytes(data, size);
    int entries = countTableEntries(dump);
    std::fclose(dump);
    if (entries < 0)
        std::abort();
    return 0;
}
