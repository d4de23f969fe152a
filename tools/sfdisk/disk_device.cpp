#include "tools/sfdisk/disk_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sfdisk {

namespace {

// The size in sectors of a block device or an image file.
bool deviceSectors(int fd, uint64_t& sectors) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    uint64_t bytes = 0;
    if (S_ISBLK(st.st_mode)) {
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0)
            return false;
    } else {
        bytes = static_cast<uint64_t>(st.st_size);
    }
    sectors = bytes / 512;
    return true;
}

bool driverGeometry(int fd, unsigned& heads, unsigned& sectors) {
    hd_geometry reported{};
    if (ioctl(fd, HDIO_GETGEO, &reported) != 0 || reported.heads == 0 || reported.sectors == 0)
        return false;
    heads = reported.heads;
    sectors = reported.sectors;
    return true;
}

bool overrideFor(const std::string& device, unsigned& heads, unsigned& sectors) {
    FILE* overrides = std::fopen(geometryOverrides, "r");
    if (!overrides)
        return false;
    bool found = findOverride(overrides, device, heads, sectors);
    std::fclose(overrides);
    return found;
}

} // namespace

std::vector<std::string> presentDisks() {
    std::vector<std::string> disks;
    std::string names;
    for (char letter = 'a'; letter <= 'h'; ++letter)
        names += std::string("hd") + letter + " ";
    for (char letter = 'a'; letter <= 'z'; ++letter)
        names += std::string("sd") + letter + " ";
    for (size_t at = 0; at < names.size(); at += 4) {
        std::string device = "/dev/" + names.substr(at, 3);
        struct stat st;
        if (stat(device.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            disks.push_back(device);
    }
    return disks;
}

bool findOverride(FILE* overrides, const std::string& device, unsigned& heads, unsigned& sectors) {
    char line[256], name[200];
    unsigned h, s;
    while (std::fgets(line, sizeof line, overrides)) {
        if (std::sscanf(line, "%199s %u %u", name, &h, &s) == 3 && device == name) {
            heads = h;
            sectors = s;
            return true;
        }
    }
    return false;
}

bool readGeometry(const std::string& device, Geometry& geometry, std::string& error) {
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + device + ": " + std::strerror(errno);
        return false;
    }
    bool sized = deviceSectors(fd, geometry.totalSectors);
    if (!sized)
        error = "cannot get the size of " + device + ": " + std::strerror(errno);
    if (!overrideFor(device, geometry.heads, geometry.sectorsPerTrack) &&
        !driverGeometry(fd, geometry.heads, geometry.sectorsPerTrack)) {
        // What BIOSes of the last decades translate every larger disk to.
        geometry.heads = 255;
        geometry.sectorsPerTrack = 63;
    }
    close(fd);
    return sized;
}

} // namespace sfdisk
