#include "network/configuration_script.h"

#include "network/file_transfer.h"
#include "package/record/record_root.h"
#include "startup/write_all.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

namespace installer {

namespace {

// The script's file: below the root, never through a link in its last component. -1 with
// errno; ELOOP when the name climbs out of the root or a link stands at its place.
int openInsideRoot(const char* root, const std::string& name) {
    if (hasParentComponent(name)) {
        errno = ELOOP;
        return -1;
    }
    ConfinedRoot confined(root);
    std::string leaf;
    int parent = confined.parent(name, leaf, false);
    if (parent < 0)
        return -1;
    if (leaf.empty()) {
        errno = EISDIR;
        return -1;
    }
    return openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                  0666);
}

// Bytes that may still be written below root; 0 when that cannot be told.
uint64_t freeSpace(const char* root) {
    struct statvfs info {};
    if (statvfs(root, &info) != 0)
        return 0;
    return uint64_t(info.f_bavail) * info.f_frsize;
}

} // namespace

bool writeConfigurationScript(FileTransfer& transfer, const char* root, const char* emptyTarget) {
    std::printf("Writing configuration...\n");
    int fd = transfer.size == 0
                 ? ::open(emptyTarget, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                 : openInsideRoot(root, transfer.name);
    if (fd < 0 && errno == ELOOP) {
        std::printf("\nFATAL ERROR: file name outside the installation: %s\n",
                    transfer.name.c_str());
        return false;
    }
    if (fd < 0) {
        std::printf("\nFATAL ERROR: couldn't make a file\n");
        return false;
    }
    // The place of an empty script lives in the boot image's memory, where a server that keeps
    // sending would use up what the installer runs in: what it sends is only counted, and it
    // may send no more than the target would have held had the script had its name.
    bool empty = transfer.size == 0;
    uint64_t room = empty ? freeSpace(root) : 0, sent = 0;
    unsigned char buffer[packetSize];
    for (;;) {
        long n = readFileData(transfer, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            ::close(fd);
            std::printf("\nFATAL ERROR: bad network connection\n");
            return false;
        }
        sent += static_cast<uint64_t>(n);
        bool failed = empty ? sent > room : !writeAll(fd, buffer, static_cast<size_t>(n));
        if (failed && empty)
            errno = ENOSPC;
        if (failed) {
            int error = errno;
            std::printf("\nFATAL ERROR: installation failed: %s\n\n", std::strerror(error));
            ::close(fd);
            return false;
        }
    }
    if (::close(fd) != 0) {
        std::printf("\nFATAL ERROR: installation failed: %s\n\n", std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace installer
