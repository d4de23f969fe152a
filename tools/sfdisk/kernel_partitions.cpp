#include "tools/sfdisk/kernel_partitions.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sfdisk {

namespace {

constexpr int highestPartition = 16;

bool partitionIoctl(int fd, int operation, int number, uint64_t start, uint64_t length) {
    blkpg_partition partition{};
    partition.pno = number;
    partition.start = static_cast<long long>(start * 512);
    partition.length = static_cast<long long>(length * 512);
    blkpg_ioctl_arg request{};
    request.op = operation;
    request.datalen = sizeof partition;
    request.data = &partition;
    return ioctl(fd, BLKPG, &request) == 0;
}

std::string readSmallFile(const std::string& path) {
    char text[64] = {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
}

void removeNode(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        unlink(path.c_str());
}

// Partition nodes follow the kernel's own numbers, found in /sys below the disk.
bool createNodes(const std::string& device, dev_t disk, std::string& error) {
    std::string directory =
        "/sys/dev/block/" + std::to_string(major(disk)) + ":" + std::to_string(minor(disk));
    DIR* listing = opendir(directory.c_str());
    if (!listing) {
        error = "cannot list " + directory + ": " + std::strerror(errno);
        return false;
    }
    bool done = true;
    while (dirent* entry = readdir(listing)) {
        std::string below = directory + "/" + entry->d_name;
        int number = std::atoi(readSmallFile(below + "/partition").c_str());
        unsigned major_ = 0, minor_ = 0;
        if (number <= 0 ||
            std::sscanf(readSmallFile(below + "/dev").c_str(), "%u:%u", &major_, &minor_) != 2)
            continue;
        std::string node = partitionName(device, number);
        removeNode(node);
        if (mknod(node.c_str(), S_IFBLK | 0660, makedev(major_, minor_)) != 0) {
            error = "cannot create " + node + ": " + std::strerror(errno);
            done = false;
        }
    }
    closedir(listing);
    return done;
}

} // namespace

bool publishPartitions(const std::string& device, const TableEntry (&entries)[4],
                       std::string& error) {
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + device + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        close(fd);
        return true;
    }
    bool done = true;
    for (int number = 1; number <= highestPartition; ++number) {
        if (!partitionIoctl(fd, BLKPG_DEL_PARTITION, number, 0, 0) && errno != ENXIO) {
            error = "partition " + std::to_string(number) + " is in use: " + std::strerror(errno);
            done = false;
        }
        removeNode(partitionName(device, number));
    }
    for (int i = 0; done && i < 4; ++i) {
        const TableEntry& entry = entries[i];
        if (entry.size != 0 &&
            !partitionIoctl(fd, BLKPG_ADD_PARTITION, i + 1, entry.start, entry.size)) {
            error = "cannot add partition " + std::to_string(i + 1) + ": " + std::strerror(errno);
            done = false;
        }
    }
    close(fd);
    return done && createNodes(device, st.st_rdev, error);
}

} // namespace sfdisk
