#include "disk/preparation.h"

#include "disk/kept_configuration.h"
#include "disk/partition_table.h"
#include "disk/target_files.h"
#include "package/record/record_root.h"
#include "startup/child_process.h"
#include "startup/console.h"
#include "startup/system_interface.h"

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace installer {

namespace {

constexpr const char* root = installer::targetDirectory;

std::string partition(const DiskRecord& target, int number) {
    return std::string(target.device) + std::to_string(number);
}

// The tool's verdict is not trusted, but one that never ran has done nothing at all.
bool toolStarted(int status) {
    return status != -1 && !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

bool partitionDisk(const DiskRecord& target) {
    FILE* dump = openToolOutput({"-d", "-uC", target.device});
    if (!dump)
        return false;
    int oldEntries = countTableEntries(dump);
    if (!toolStarted(closePipedChild(dump)))
        return false;
    FILE* table = openToolInput({"-q", "-uC", target.device, ">null"});
    if (!table)
        return false;
    bool told = writePartitionTable(table, target, oldEntries);
    return toolStarted(closePipedChild(table)) && told;
}

int makeFileSystem(const std::string& device, bool journal) {
    if (journal)
        return runTool(nullptr, "/sbin/mke2fs", {"-j", device.c_str()});
    return runTool(nullptr, "/sbin/mke2fs", {device.c_str()});
}

bool formatDisk(const DiskRecord& target) {
    // The boot partition of a two-partition disk never gets a journal.
    if (makeFileSystem(partition(target, 1), target.journaled && !target.separateBoot) != 0)
        return false;
    return !target.separateBoot || makeFileSystem(partition(target, 2), target.journaled) == 0;
}

bool mountAs(const std::string& device, const char* at, const char* type) {
    return currentSystem().mount(device.c_str(), at, type);
}

} // namespace

bool mountTarget(const DiskRecord& target, bool withBoot) {
    // A system on partition 2 means a boot partition beside it; one on partition 1 stands alone.
    if (!mountAs(partition(target, 2), root, "ext3")) {
        if (mountAs(partition(target, 1), root, "ext3"))
            return true;
        if (!mountAs(partition(target, 2), root, "ext2"))
            return mountAs(partition(target, 1), root, "ext2");
    }
    if (!withBoot)
        return true;
    std::string boot = std::string(root) + "/boot";
    currentSystem().makeDirectory(boot.c_str(), 0755);
    if (!mountAs(partition(target, 1), boot.c_str(), "ext2")) {
        currentSystem().unmount(root);
        return false;
    }
    return true;
}

bool prepareDisk(const DiskRecord& target, bool keepConfiguration) {
    if (const char* problem = layoutProblem(target)) {
        std::printf("ERROR: could not create partitions: %s\n", problem);
        return false;
    }
    // Owned here, so that every early return below frees what was read.
    std::unique_ptr<ConfigStore> kept = keepConfiguration ? readOldConfiguration(target) : nullptr;

    startProgress("Creating partition...");
    bool partitioned = partitionDisk(target);
    stopProgress();
    if (!partitioned) {
        std::printf("ERROR: could not create partitions\n");
        return false;
    }

    startProgress("Formatting disk...");
    bool formatted = formatDisk(target);
    stopProgress();
    if (!formatted) {
        std::printf("ERROR: could not format partitions\n");
        return false;
    }

    if (!mountTarget(target, true)) {
        std::printf("ERROR: could not mount filesystem\n");
        return false;
    }
    if (!writeLiloConf(root, target) || !writeFstab(root, target))
        return false;
    if (target.journaled)
        markNoFsck(root);
    createBaseDirectories(root);
    if (kept)
        writeBackConfiguration(std::move(kept));
    return true;
}

} // namespace installer
