#include "flows/memory_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

namespace {

bool readAll(int fd, unsigned char* data, uint32_t size) {
    uint32_t total = 0;
    while (total < size) {
        ssize_t got = read(fd, data + total, size - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        total += uint32_t(got);
    }
    return true;
}

} // namespace

bool readWholeFile(MemoryFile& file, const char* path) {
    file.release();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    bool read = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                uint64_t(status.st_size) <= UINT32_MAX;
    if (read && status.st_size > 0) {
        auto size = uint32_t(status.st_size);
        file.data.reset(static_cast<unsigned char*>(std::malloc(size)));
        read = file.data && readAll(fd, file.data.get(), size);
        if (read)
            file.size = size;
    }
    close(fd);
    if (!read)
        file.release();
    return read;
}

} // namespace installer
