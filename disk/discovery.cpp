#include "disk/discovery.h"

#include "startup/child_process.h"
#include "startup/console.h"
#include "startup/system_interface.h"

#include <cctype>
#include <cstring>

namespace installer {

namespace {

constexpr int tableSize = 4;
constexpr uint64_t journalThreshold = 0x2800000; // 40 MiB
constexpr int searchAttempts = 20;

struct DeviceLabel {
    const char* device;
    const char* label;
};

constexpr DeviceLabel deviceLabels[] = {
    {"/dev/hda", "IDE Primary master (disk C)"},
    {"/dev/hdb", "IDE Primary slave (disk D)"},
    {"/dev/hdc", "IDE Secondary master (disk E)"},
    {"/dev/hdd", "IDE Secondary slave (disk F)"},
    {"/dev/sda", "SATA 1"},
    {"/dev/sdb", "SATA 2"},
    {"/dev/sdc", "SATA 3"},
    {"/dev/sdd", "SATA 4"},
    {"/dev/sde", "SATA 5"},
    {"/dev/sdf", "SATA 6"},
    {"/dev/sdg", "SATA 7"},
    {"/dev/sdh", "SATA 8"},
};

// One listing line: "/dev/sda: 4865 cylinders, 255 heads, 63 sectors/track".
bool parseDiskLine(const char* line, DiskRecord& record) {
    if (std::strncmp(line, "/dev/", 5) != 0)
        return false;
    char device[128];
    unsigned cylinders = 0, heads = 0, sectors = 0;
    int at[3] = {};
    if (std::sscanf(line, "%127s %n%u %*s %n%u %*s %n%u", device, &at[0], &cylinders, &at[1],
                    &heads, &at[2], &sectors) != 4)
        return false;
    // %u takes "-24" for 4294967272 cylinders; the tool writes only digits there.
    for (int offset : at)
        if (!std::isdigit(static_cast<unsigned char>(line[offset])))
            return false;
    size_t length = std::strlen(device);
    if (device[length - 1] == ':')
        device[--length] = '\0';
    // A shortened path would name some other device, the wrong one to repartition.
    if (length >= sizeof record.device)
        return false;
    record = describeDisk(device, cylinders, heads, sectors);
    return true;
}

// Reads one line of up to 127 characters; the rest of a longer line is dropped so that it can
// never pass for a line of its own.
bool readLine(FILE* stream, char (&line)[128]) {
    if (!std::fgets(line, sizeof line, stream))
        return false;
    if (!std::strchr(line, '\n')) {
        int c;
        while ((c = std::fgetc(stream)) != EOF && c != '\n') {
        }
    }
    return true;
}

} // namespace

DiskRecord describeDisk(const char* device, unsigned cylinders, unsigned heads, unsigned sectors) {
    DiskRecord record;
    std::snprintf(record.device, sizeof record.device, "%s", device);
    record.cylinders = cylinders;
    record.bytesPerCylinder = heads * sectors * 512u;
    record.separateBoot = cylinders > 1023;
    record.journaled = uint64_t{cylinders} * record.bytesPerCylinder > journalThreshold;
    return record;
}

int readDiskListing(FILE* listing, DiskRecord* table, int capacity) {
    int found = 0;
    char line[128];
    while (found < capacity && readLine(listing, line)) {
        if (parseDiskLine(line, table[found]))
            ++found;
    }
    return found;
}

const char* deviceLabel(const char* device) {
    for (const DeviceLabel& entry : deviceLabels) {
        if (std::strcmp(entry.device, device) == 0)
            return entry.label;
    }
    return device;
}

DiskRecord* listDisks() {
    // Lives as long as the process: callers keep the pointer between listings.
    static DiskRecord table[tableSize];
    FILE* listing = openToolOutput({"-g"});
    if (!listing)
        return nullptr;
    int found = readDiskListing(listing, table, tableSize);
    closePipedChild(listing);
    return found > 0 ? table : nullptr;
}

bool findHardDisk(DiskRecord& target) {
    std::printf("\n");
    startProgress("Looking for harddrives...");
    DiskRecord* table = listDisks();
    for (int attempt = 1; !table && attempt < searchAttempts; ++attempt) {
        // The dot display's alarm would cut a plain sleep short: each pass waits its second.
        currentSystem().pauseThrough(1);
        table = listDisks();
    }
    stopProgress();
    if (!table) {
        std::printf("\nFATAL ERROR: no harddrives found\n");
        return false;
    }
    target = table[0];
    std::printf("\nFound harddrive as %s\n", deviceLabel(target.device));
    return true;
}

} // namespace installer
