#include "disk/boot_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace installer {

// Assembled and checked at build time from disk/boot_code.S.
const unsigned char bootCode[184] = {
#include "disk/boot_code_bytes.inc"
};

namespace {

constexpr size_t sectorSize = 512;
constexpr size_t tableOffset = 446;

// Reads or writes the whole sector, or fails; a short transfer counts as an I/O error.
bool transferSector(int fd, unsigned char* sector, bool writing) {
    size_t done = 0;
    while (done < sectorSize) {
        ssize_t n = writing ? write(fd, sector + done, sectorSize - done)
                            : read(fd, sector + done, sectorSize - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool readBootRecord(const char* device, unsigned char (&sector)[512]) {
    int fd = open(device, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("could not open MBR");
        return false;
    }
    bool done = transferSector(fd, sector, false);
    if (!done)
        std::perror("could not read MBR");
    close(fd);
    return done;
}

bool writeBootRecord(const char* device, const unsigned char (&sector)[512]) {
    int fd = open(device, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("could not open MBR");
        return false;
    }
    // The partitioning tool opens the device next; the sector must be on the disk by then.
    bool done = transferSector(fd, const_cast<unsigned char*>(sector), true) && fsync(fd) == 0;
    if (!done)
        std::perror("could not write MBR");
    close(fd);
    return done;
}

bool installBootCode(const char* device) {
    unsigned char sector[512];
    if (!readBootRecord(device, sector))
        return false;
    std::memcpy(sector, bootCode, sizeof bootCode);
    std::memset(sector + sizeof bootCode, 0, tableOffset - sizeof bootCode);
    return writeBootRecord(device, sector);
}

} // namespace installer
