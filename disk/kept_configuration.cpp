#include "disk/kept_configuration.h"

#include "disk/memory_budget.h"
#include "disk/preparation.h"
#include "package/owned_handles.h"
#include "package/record/record_root.h"
#include "startup/console.h"
#include "startup/write_all.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace installer {

namespace {

constexpr installer::TargetPath targetPrefix{"/"};
constexpr std::string_view flashPrefix = targetPrefix.view();
// Where an installed system keeps its store.
constexpr installer::TargetPath velaStore{"/vela/store"};
constexpr installer::TargetPath rwStore{"/rw/store"};

// The directories from the store's top down to the one being read, by device and inode: the
// tree is followed through links, and a link back to one of them would never end.
using OpenDirectories = std::vector<std::pair<dev_t, ino_t>>;

ssize_t readRetrying(int fd, void* buffer, size_t length) {
    ssize_t got;
    do
        got = read(fd, buffer, length);
    while (got < 0 && errno == EINTR);
    return got;
}

// Reading leaves the access times alone: a file reached twice through links is then stored
// with the same times both ways, whichever way came first. Only the owner (or root) may ask.
int openUntouched(const char* path, int flags) {
    int fd = open(path, flags | O_NOATIME | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == EPERM)
        fd = open(path, flags | O_CLOEXEC | O_NOCTTY);
    return fd;
}

// Contents go straight from the file into the chain, block by block.
bool readContents(ConfigStore& store, int fd, uint64_t size) {
    uint64_t total = 0;
    while (total < size) {
        uint32_t room = 0;
        unsigned char* place = store.reserve(room);
        if (!place)
            return false;
        size_t wanted = size - total < room ? size_t(size - total) : room;
        ssize_t got = readRetrying(fd, place, wanted);
        if (got <= 0) // shrunk since it was examined, or unreadable
            return false;
        store.commit(uint32_t(got));
        total += uint64_t(got);
    }
    char more;
    return readRetrying(fd, &more, 1) == 0; // grown since it was examined
}

bool readFile(ConfigStore& store, const std::string& path, const struct stat& status) {
    // A file that cannot fit is refused before any of it is read.
    if (!store.fits(path.size() + 1 + sizeof status + uint64_t(status.st_size)))
        return false;
    int fd = openUntouched(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bool read = store.appendPath(path.c_str()) && store.appendBytes(&status, sizeof status) &&
                readContents(store, fd, uint64_t(status.st_size));
    close(fd);
    return read;
}

bool readBelow(ConfigStore& store, const std::string& path, OpenDirectories& open);

bool readDirectory(ConfigStore& store, const std::string& path, const struct stat& status,
                   OpenDirectories& open) {
    for (const auto& [device, inode] : open)
        if (device == status.st_dev && inode == status.st_ino)
            return false;
    OwnedDirectory directory = listDirectory(openUntouched(path.c_str(), O_RDONLY | O_DIRECTORY));
    if (!directory)
        return false;
    bool read = store.appendPath(path.c_str()) && store.appendBytes(&status, sizeof status);
    open.emplace_back(status.st_dev, status.st_ino);
    while (read) {
        errno = 0;
        dirent* entry = readdir(directory.get());
        if (!entry) {
            read = errno == 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        read = readBelow(store, path + "/" + entry->d_name, open);
    }
    open.pop_back();
    return read;
}

bool readBelow(ConfigStore& store, const std::string& path, OpenDirectories& open) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return false;
    if (S_ISREG(status.st_mode))
        return readFile(store, path, status);
    if (S_ISDIR(status.st_mode))
        return readDirectory(store, path, status, open);
    return true; // device nodes, pipes and sockets are not configuration
}

const char* storeSource() {
    struct stat status {};
    // The first may be a link to the store directory; the second counts only as itself.
    if (stat(velaStore, &status) == 0)
        return velaStore;
    if (lstat(rwStore, &status) == 0)
        return rwStore;
    return nullptr;
}

std::unique_ptr<ConfigStore> readStore(const char* source) {
    std::unique_ptr<ConfigStore> store(new (std::nothrow) ConfigStore(memoryBudget()));
    if (!store || !store->addBlock(storeBlockSize) || !readTree(*store, source))
        return nullptr;
    store->finish();
    return store;
}

// Directory times are set once everything inside has been written, since writing there
// changes them.
struct DirectoryTimes {
    const char* path;
    timespec times[2];
};

// The write-back walks /flash itself: whatever the new file system holds, a link met on the
// way is resolved inside /flash, and the entry's own name is never followed.
class TargetTree {
public:
    bool valid() { return root.valid(); }

    // The directory holding the entry and the entry's name there, or -1.
    int locate(const char* path, std::string& leaf) {
        std::string_view view(path);
        if (!view.starts_with(flashPrefix) || installer::hasParentComponent(view))
            return -1;
        return root.parent(view.substr(flashPrefix.size()), leaf, false);
    }

private:
    installer::ConfinedRoot root{installer::InstallationRoot::target()};
};

bool writeFile(TargetTree& tree, const char* path, const struct stat& status, StoreCursor& cursor) {
    std::string leaf;
    int parent = tree.locate(path, leaf);
    if (parent < 0 || leaf.empty())
        return false;
    int fd =
        openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = true;
    uint64_t left = uint64_t(status.st_size);
    while (written && left > 0) {
        const unsigned char* data = nullptr;
        size_t part = cursor.takeInPlace(data, left < SIZE_MAX ? size_t(left) : SIZE_MAX);
        written = part > 0 && writeAll(fd, data, part);
        left -= part;
    }
    // The owner first: changing it clears set-user-id and set-group-id bits.
    written = written && fchown(fd, status.st_uid, status.st_gid) == 0 &&
              fchmod(fd, status.st_mode & 07777) == 0;
    written = close(fd) == 0 && written;
    const timespec times[2] = {status.st_atim, status.st_mtim};
    return written && utimensat(parent, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool writeDirectory(TargetTree& tree, const char* path, const struct stat& status) {
    std::string leaf;
    int parent = tree.locate(path, leaf);
    if (parent < 0 || leaf.empty() || mkdirat(parent, leaf.c_str(), 0700) != 0)
        return false;
    int fd = openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool written =
        fchown(fd, status.st_uid, status.st_gid) == 0 && fchmod(fd, status.st_mode & 07777) == 0;
    close(fd);
    return written;
}

void setDirectoryTimes(TargetTree& tree, const std::vector<DirectoryTimes>& directories) {
    for (auto entry = directories.rbegin(); entry != directories.rend(); ++entry) {
        std::string leaf;
        int parent = tree.locate(entry->path, leaf);
        if (parent >= 0)
            utimensat(parent, leaf.c_str(), entry->times, AT_SYMLINK_NOFOLLOW);
    }
}

bool writeEntries(ConfigStore& store) {
    StoreBlock* first = store.first();
    if (!first || first->magic != storeBlockMagic)
        return false;
    TargetTree tree;
    if (!tree.valid())
        return false;
    StoreCursor cursor(store);
    std::vector<DirectoryTimes> directories;
    bool written = true;
    while (written && !cursor.atEnd()) {
        const char* path = cursor.takePath();
        struct stat status {};
        if (!path || !cursor.take(&status, sizeof status)) {
            written = false;
        } else if (S_ISREG(status.st_mode)) {
            written = writeFile(tree, path, status, cursor);
        } else if (S_ISDIR(status.st_mode)) {
            written = writeDirectory(tree, path, status);
            if (written)
                directories.push_back({path, {status.st_atim, status.st_mtim}});
        }
    }
    setDirectoryTimes(tree, directories);
    return written;
}

} // namespace

bool readTree(ConfigStore& store, const std::string& path) {
    OpenDirectories open;
    return readBelow(store, path, open);
}

std::unique_ptr<ConfigStore> readOldConfiguration(const DiskRecord& target) {
    if (!mountTarget(target, false)) {
        std::printf("WARNING: couldn't keep config - couldn't mount file system\n");
        return nullptr;
    }
    const char* source = storeSource();
    if (!source) {
        umount(installer::targetDirectory);
        return nullptr;
    }
    startProgress("Reading old configuration...");
    std::unique_ptr<ConfigStore> store = readStore(source);
    stopProgress();
    if (!store)
        std::printf("ERROR: couldn't keep config - probably not enough memory\n");
    umount(installer::TargetPath("/boot"));
    umount(installer::targetDirectory);
    return store;
}

bool writeBackConfiguration(std::unique_ptr<ConfigStore> store) {
    startProgress("Writing back old configuration...");
    bool written = store && writeEntries(*store);
    store.reset();
    stopProgress();
    if (!written)
        std::printf("ERROR: couldn't write old configuration - proboably not enough space on the "
                    "disk\n");
    return written;
}

} // namespace installer
