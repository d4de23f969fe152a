#include "tools/sfdisk/boot_sector.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sfdisk {

namespace {

bool readSector(int fd, unsigned char (&sector)[512]) {
    return pread(fd, sector, sizeof sector, 0) == static_cast<ssize_t>(sizeof sector);
}

uint32_t little32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

bool readBootArea(const std::string& device, unsigned char (&area)[446], std::string& error) {
    unsigned char sector[512];
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    bool done = fd >= 0 && readSector(fd, sector);
    if (!done)
        error = "cannot read the first sector of " + device + ": " + std::strerror(errno);
    else
        std::memcpy(area, sector, sizeof area);
    if (fd >= 0)
        close(fd);
    return done;
}

bool restoreBootArea(const std::string& device, const unsigned char (&area)[446],
                     const TableEntry (&entries)[4], const Geometry& geometry, std::string& error) {
    int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    unsigned char sector[512];
    if (fd < 0 || !readSector(fd, sector)) {
        error = "cannot read back the first sector of " + device + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    std::memcpy(sector, area, sizeof area);
    for (int i = 0; i < 4; ++i) {
        unsigned char* entry = sector + 446 + 16 * i;
        if (entries[i].size == 0)
            continue;
        if (little32(entry + 8) != entries[i].start || little32(entry + 12) != entries[i].size) {
            error = "partition " + std::to_string(i + 1) + " was not written as asked";
            close(fd);
            return false;
        }
        unsigned char chs[3];
        encodeChs(entries[i].start, geometry, chs);
        std::memcpy(entry + 1, chs, 3);
        encodeChs(entries[i].start + entries[i].size - 1, geometry, chs);
        std::memcpy(entry + 5, chs, 3);
    }
    bool done = pwrite(fd, sector, sizeof sector, 0) == static_cast<ssize_t>(sizeof sector) &&
                fsync(fd) == 0;
    if (!done)
        error = "cannot write the first sector of " + device + ": " + std::strerror(errno);
    close(fd);
    return done;
}

} // namespace sfdisk
