// Unpacking a package's file archive below the installation root. Every object is created with
// the *at() calls relative to a directory that ConfinedRoot resolved inside the root, and the
// object's own name is never followed, so whatever the archive holds (absolute names, links
// it placed earlier, links already on the target) nothing outside the root is touched. Names
// with ".." components are refused as a broken package.
#include "repository/repository.h"

#include "package/format/format.h"
#include "package/record/record_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace installer {

namespace {

constexpr size_t dataChunk = 16384;
// Longest link target the system accepts (PATH_MAX without the terminator).
constexpr uint32_t maxLinkTarget = 4095;

bool readExactly(std::istream& in, char* data, size_t size) {
    in.read(data, std::streamsize(size));
    return size_t(in.gcount()) == size;
}

// Passes over data the entry does not use; a short archive shows at the next entry header.
void passOver(std::istream& in, uint32_t size) {
    char chunk[4096];
    while (size > 0) {
        size_t step = std::min<size_t>(size, sizeof chunk);
        if (!readExactly(in, chunk, step))
            return;
        size -= uint32_t(step);
    }
}

timespec entryTime(uint32_t mtime) {
    return timespec{time_t(mtime), 0};
}

void setAttributesAt(int dir, const std::string& leaf, const FileEntryHeader& entry) {
    fchownat(dir, leaf.c_str(), entry.uid, entry.gid, AT_SYMLINK_NOFOLLOW);
    fchmodat(dir, leaf.c_str(), entry.mode & 07777, 0);
    timespec times[2] = {entryTime(entry.mtime), entryTime(entry.mtime)};
    utimensat(dir, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void deleteAt(int dir, const std::string& leaf) {
    if (unlinkat(dir, leaf.c_str(), 0) != 0 && errno == EISDIR)
        unlinkat(dir, leaf.c_str(), AT_REMOVEDIR);
}

// An existing directory, or a link that leads to one inside the root, is reused.
bool isDirectoryInside(ConfinedRoot& root, const std::string& inner, const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return true;
    if (!S_ISLNK(st.st_mode))
        return false;
    int fd = root.openDirectory(inner, false);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

enum class Outcome { done, broken, notCreated };

// One object of the archive, made at `leaf` in the directory `dir`.
struct NewObject {
    int dir;
    const std::string& leaf;
    const FileEntryHeader& entry;
    std::istream& in;
    int error = 0;        // why the creation failed
    bool created = false; // the object exists now, whether or not all its data went in
};

Outcome notCreated(NewObject& object) {
    object.error = errno;
    return Outcome::notCreated;
}

Outcome createLink(NewObject& o) {
    if (o.entry.dataSize > maxLinkTarget)
        return Outcome::broken;
    std::string target(o.entry.dataSize, '\0');
    if (!readExactly(o.in, target.data(), target.size()))
        return Outcome::broken;
    if (symlinkat(target.c_str(), o.dir, o.leaf.c_str()) != 0)
        return notCreated(o);
    o.created = true;
    // The link itself gets the owner; it has no mode or time of its own to set.
    fchownat(o.dir, o.leaf.c_str(), o.entry.uid, o.entry.gid, AT_SYMLINK_NOFOLLOW);
    return Outcome::done;
}

Outcome copyData(NewObject& o, int fd) {
    char chunk[dataChunk];
    for (uint32_t left = o.entry.dataSize; left > 0;) {
        size_t step = std::min<size_t>(left, dataChunk);
        if (!readExactly(o.in, chunk, step))
            return Outcome::broken;
        for (size_t done = 0; done < step;) {
            ssize_t n = ::write(fd, chunk + done, step - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                o.error = n < 0 ? errno : ENOSPC;
                return Outcome::notCreated;
            }
            done += size_t(n);
        }
        left -= uint32_t(step);
    }
    return Outcome::done;
}

// Owner, mode and times are set on the open file, never through a name.
Outcome writeRegularFile(NewObject& o) {
    int fd =
        openat(o.dir, o.leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return notCreated(o);
    o.created = true;
    Outcome outcome = copyData(o, fd);
    if (outcome == Outcome::done) {
        fchown(fd, o.entry.uid, o.entry.gid);
        fchmod(fd, o.entry.mode & 07777);
        timespec times[2] = {entryTime(o.entry.mtime), entryTime(o.entry.mtime)};
        futimens(fd, times);
    }
    if (close(fd) != 0 && outcome == Outcome::done)
        return notCreated(o);
    return outcome;
}

// Directories, device nodes and FIFOs: no data but a device number.
Outcome createNode(NewObject& o) {
    unsigned type = o.entry.mode & S_IFMT;
    dev_t device = 0;
    if (type == S_IFCHR || type == S_IFBLK) {
        uint8_t number[4];
        if (o.entry.dataSize != 4 || !readExactly(o.in, reinterpret_cast<char*>(number), 4))
            return Outcome::broken;
        device = dev_t(loadLe32(number));
    } else {
        passOver(o.in, o.entry.dataSize);
    }
    int made = type == S_IFDIR
                   ? mkdirat(o.dir, o.leaf.c_str(), o.entry.mode & 07777)
                   : mknodat(o.dir, o.leaf.c_str(), type | (o.entry.mode & 07777), device);
    if (made != 0)
        return notCreated(o);
    o.created = true;
    setAttributesAt(o.dir, o.leaf, o.entry);
    return Outcome::done;
}

Outcome createObject(NewObject& o) {
    switch (o.entry.mode & S_IFMT) {
    case S_IFLNK:
        return createLink(o);
    case S_IFREG:
        return writeRegularFile(o);
    case S_IFDIR:
    case S_IFCHR:
    case S_IFBLK:
    case S_IFIFO:
        return createNode(o);
    default:
        return Outcome::broken;
    }
}

} // namespace

bool Repository::extractFiles(InstalledPackage& package, PackageReader& reader, bool unregistered,
                              const InstallationRoot& installation) {
    std::string label = installLabel(package);
    ConfinedRoot root(installation);
    if (!root.valid()) {
        reportCreateFailure(*this, package, installation.directory(), installation.openError());
        return false;
    }
    std::string prefix = package.disabled ? "/x/" + package.name : "";
    if (package.disabled) {
        for (const std::string& path : {prefix, prefix + "/var/pdb/" + package.name}) {
            int fd = root.openDirectory(path, true);
            if (fd >= 0)
                close(fd);
        }
    }

    InflatingStream in(reader);
    std::vector<std::pair<std::string, uint32_t>> directories; // inside the root, with time
    for (;;) {
        uint8_t raw[fileEntryHeaderSize];
        if (!readExactly(in, reinterpret_cast<char*>(raw), sizeof raw))
            break;
        FileEntryHeader entry = decodeFileEntry(raw);
        std::string name(entry.nameLength, '\0');
        if (!readExactly(in, name.data(), name.size())) {
            reportBrokenPackage(*this, package);
            return false;
        }
        name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
        if (hasParentComponent(name)) {
            reportBrokenPackage(*this, package);
            return false;
        }
        std::string inner = prefix + (name.starts_with('/') ? "" : "/") + name;
        std::string record = installation.recordPath(inner);

        std::string leaf;
        int dir = root.parent(inner, leaf, true);
        int dirError = errno;
        if (entry.skip) {
            passOver(in, entry.dataSize);
            continue;
        }
        if (dir < 0) {
            reportCreateFailure(*this, package, name, dirError);
            return false;
        }
        unsigned type = entry.mode & S_IFMT;
        struct stat st;
        bool exists = leaf.empty() ? fstat(dir, &st) == 0
                                   : fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (exists) {
            if (type == S_IFDIR && isDirectoryInside(root, inner, st)) {
                passOver(in, entry.dataSize);
                continue;
            }
            if (!unregistered) {
                std::string owner = ownerOf(record);
                if (!owner.empty()) {
                    warning("file %s collides with %s package", record.c_str(), owner.c_str());
                    passOver(in, entry.dataSize);
                    continue;
                }
                warning("ghost file %s", record.c_str());
            }
            if (!leaf.empty())
                deleteAt(dir, leaf);
        }
        if (leaf.empty()) {
            reportCreateFailure(*this, package, name, EISDIR);
            return false;
        }

        NewObject object{dir, leaf, entry, in};
        Outcome outcome = createObject(object);
        if (object.created && type != S_IFDIR)
            package.files.insert(record);
        if (object.created && type == S_IFDIR)
            directories.emplace_back(inner, entry.mtime);
        if (outcome == Outcome::broken) {
            reportBrokenPackage(*this, package);
            return false;
        }
        if (outcome == Outcome::notCreated) {
            reportCreateFailure(*this, package, name, object.error);
            return false;
        }
        showProgress(reader, label);
    }

    // Creating entries inside a directory changed its time; the archive's time goes last.
    for (const auto& [inner, mtime] : directories) {
        std::string leaf;
        int dir = root.parent(inner, leaf, false);
        timespec times[2] = {entryTime(mtime), entryTime(mtime)};
        if (dir >= 0 && !leaf.empty())
            utimensat(dir, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    return true;
}

} // namespace installer
