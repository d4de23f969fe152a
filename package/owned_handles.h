#pragma once
// Handles of the C library and the kernel held by values that give them back when they go, so
// that an early return or a failed allocation part way through a listing leaks nothing. The
// installer is the first process and never ends: whatever it forgets stays open until restart.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace installer {

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using OwnedDirectory = std::unique_ptr<DIR, DirectoryCloser>;

// For files only read: a written file's close is a result the writer must check itself.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

// A descriptor, -1 for none.
class OwnedDescriptor {
public:
    explicit OwnedDescriptor(int fd = -1) : fd(fd) {}
    ~OwnedDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    int get() const { return fd; }
    // Hands the descriptor over to a new owner.
    int release() {
        int held = fd;
        fd = -1;
        return held;
    }

private:
    int fd;
};

// A listing of the open directory fd, which it then owns; null (and fd closed) when it cannot
// be listed. A negative fd gives null.
inline OwnedDirectory listDirectory(int fd) {
    if (fd < 0)
        return nullptr;
    OwnedDirectory directory(fdopendir(fd));
    if (!directory)
        ::close(fd);
    return directory;
}

} // namespace installer
