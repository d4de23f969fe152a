// The boot image's partitioning tool: the installer's three calls, in cylinder units, on top of
// a sector-based partitioning tool.
//   sfdisk -g               one line per disk: "/dev/sda: 4865 cylinders, 255 heads, 63
//   sectors/track" sfdisk -d -uC DEVICE    the current table, one "/dev/" line per partition sfdisk
//   -q -uC DEVICE    writes the table read from standard input: "start,size,type[,*|-]"
//                           in cylinders, "0,0,0" for an empty entry
#include "tools/sfdisk/boot_sector.h"
#include "tools/sfdisk/cylinder_table.h"
#include "tools/sfdisk/disk_device.h"
#include "tools/sfdisk/kernel_partitions.h"
#include "tools/sfdisk/sector_tool.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

using namespace sfdisk;

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "sfdisk: %s\n", message.c_str());
    return 1;
}

int listGeometry() {
    for (const std::string& device : presentDisks()) {
        Geometry geometry;
        std::string error;
        if (!readGeometry(device, geometry, error)) {
            fail(error);
            continue;
        }
        if (geometry.totalSectors == 0)
            continue; // a drive without a medium
        std::printf("%s: %" PRIu64 " cylinders, %u heads, %u sectors/track\n", device.c_str(),
                    geometry.cylinders(), geometry.heads, geometry.sectorsPerTrack);
    }
    return 0;
}

int dumpTable(const std::string& device) {
    Geometry geometry;
    std::string error, dump;
    if (!readGeometry(device, geometry, error))
        return fail(error);
    int status = runSectorTool({"-d", device.c_str()}, nullptr, &dump);
    std::printf("# partition table of %s\nunit: cylinders\n\n", device.c_str());
    size_t from = 0;
    while (from < dump.size()) {
        size_t end = dump.find('\n', from);
        std::string line = dump.substr(from, end == std::string::npos ? end : end - from), out;
        if (dumpLineInCylinders(line, geometry, out))
            std::fputs(out.c_str(), stdout);
        from = end == std::string::npos ? dump.size() : end + 1;
    }
    return status == 0 ? 0 : 1;
}

int writeTable(const std::string& device) {
    Geometry geometry;
    TableEntry entries[4];
    unsigned char bootArea[446];
    std::string error;
    if (!readGeometry(device, geometry, error) ||
        !readCylinderTable(stdin, geometry, entries, error) ||
        !readBootArea(device, bootArea, error))
        return fail(error);
    std::string script = sectorScript(device, entries);
    // The kernel is told below, partition by partition; the sector tool only writes.
    int status =
        runSectorTool({"--no-reread", "--no-tell-kernel", "-q", device.c_str()}, &script, nullptr);
    if (status != 0)
        return fail(status < 0 ? std::string("cannot run ") + sectorToolPath
                               : "the table was not written");
    if (!restoreBootArea(device, bootArea, entries, geometry, error) ||
        !publishPartitions(device, entries, error))
        return fail(error);
    return 0;
}

bool hasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && hasArgument(argc, argv, "-g"))
        return listGeometry();
    bool cylinders = hasArgument(argc, argv, "-uC");
    const char* device = argc == 4 ? argv[3] : nullptr;
    if (cylinders && device && hasArgument(3, argv, "-d"))
        return dumpTable(device);
    if (cylinders && device && hasArgument(3, argv, "-q"))
        return writeTable(device);
    std::fprintf(stderr, "usage: sfdisk -g\n"
                         "       sfdisk -d -uC DEVICE\n"
                         "       sfdisk -q -uC DEVICE < table\n");
    return 2;
}
