#include "testbed/fuzz_support.h"
#include "testbed/support/text_files.h"

#include "testbed/capability_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace fuzz {

namespace {

// Where the new "/" is assembled before the process moves into it; the tmpfs covers the
// host's /tmp only inside this process's own mount namespace.
const std::string base = "/tmp";

bool fail(const char* step, const std::string& what = "") {
    std::fprintf(stderr, "fuzz scratch world: %s %s: %s\n", step, what.c_str(),
                 std::strerror(errno));
    return false;
}

bool writeText(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// A host path that must stay reachable, opened before the tmpfs hides what lies below /tmp.
struct Kept {
    std::string path; // absolute, links resolved
    int fd;           // O_PATH
    bool directory;
    bool writable;
};

bool keep(std::vector<Kept>& kept, const std::string& given, bool writable) {
    char resolved[PATH_MAX];
    if (!realpath(given.c_str(), resolved))
        return true; // not there (yet): libFuzzer reports it itself
    int fd = open(resolved, O_PATH | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return fail("cannot open", resolved);
    kept.push_back({resolved, fd, S_ISDIR(st.st_mode), writable});
    return true;
}

// Flags the kernel locks on a mount seen from a user namespace: a read-only remount must
// repeat them.
unsigned long lockedFlags(const char* path) {
    struct statvfs vfs;
    unsigned long flags = 0;
    if (statvfs(path, &vfs) != 0)
        return 0;
    if (vfs.f_flag & ST_NOSUID)
        flags |= MS_NOSUID;
    if (vfs.f_flag & ST_NODEV)
        flags |= MS_NODEV;
    if (vfs.f_flag & ST_NOEXEC)
        flags |= MS_NOEXEC;
    if (vfs.f_flag & ST_NOATIME)
        flags |= MS_NOATIME;
    if (vfs.f_flag & ST_RELATIME)
        flags |= MS_RELATIME;
    return flags;
}

bool bind(const Kept& source) {
    std::string target = base + source.path;
    if (source.directory) {
        makeDirectories(target);
    } else {
        makeDirectories(target.substr(0, target.rfind('/')));
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    }
    std::string from = "/proc/self/fd/" + std::to_string(source.fd);
    if (mount(from.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail("cannot bind", source.path);
    if (source.writable)
        return true;
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY | lockedFlags(target.c_str());
    if (mount(nullptr, target.c_str(), nullptr, flags, nullptr) != 0)
        return fail("cannot make read-only", source.path);
    return true;
}

struct Entry {
    mode_t mode;
    off_t size;
    struct timespec mtime;
    bool operator==(const Entry& other) const {
        return mode == other.mode && size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
               mtime.tv_nsec == other.mtime.tv_nsec;
    }
};
using Listing = std::map<std::string, Entry>;

Listing before;
dev_t worldDevice = 0;

// Everything on the scratch world's own tmpfs, without the mounts on it and without `skip`.
void list(int dirFd, const std::string& path, const std::string& skip, Listing& out) {
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string full = path + "/" + name;
        struct stat st;
        if (full == skip || fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            st.st_dev != worldDevice)
            continue;
        out[full] = {st.st_mode, S_ISDIR(st.st_mode) ? 0 : st.st_size, st.st_mtim};
        if (S_ISDIR(st.st_mode)) {
            int child = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (child >= 0)
                list(child, full, skip, out);
        }
    }
    closedir(dir);
}

Listing listWorld(const std::string& skip) {
    Listing listing;
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        list(fd, "", skip, listing);
    return listing;
}

void removeBelow(int dirFd) {
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    for (const std::string& name : names) {
        if (unlinkat(dirfd(dir), name.c_str(), 0) == 0)
            continue;
        int child =
            openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            removeBelow(child);
        unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR);
    }
    closedir(dir);
}

} // namespace

FILE* openBytes(const uint8_t* data, size_t size) {
    // fmemopen refuses a zero-sized buffer.
    if (size == 0)
        return std::fopen("/dev/null", "r");
    return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

const std::string& bytesAsFile(const uint8_t* data, size_t size) {
    static int fd = -1;
    static std::string name;
    if (fd < 0) {
        fd = memfd_create("fuzz-input", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
        name = "/proc/self/fd/" + std::to_string(fd);
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();
    return name;
}

std::string_view Cursor::bytes(size_t length) {
    size_t n = std::min(length, size - std::min(at, size));
    std::string_view piece(reinterpret_cast<const char*>(data) + std::min(at, size), n);
    at += n;
    return piece;
}

bool enterScratchWorld(int argc, char** argv) {
    static bool entered = false;
    if (entered)
        return true;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return fail("cannot enter new user and mount namespaces");
    if (!writeText("/proc/self/setgroups", "deny") ||
        !writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
        return fail("cannot map the user");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("cannot make mounts private");
    // Opened inside the new namespace (a bind takes its source from there) and before the
    // tmpfs hides what lies below /tmp.
    std::vector<Kept> kept;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return fail("cannot get the current directory");
    if (!keep(kept, cwd, true))
        return false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.starts_with("-artifact_prefix=")) {
            std::string prefix = arg.substr(std::strlen("-artifact_prefix="));
            std::string folder =
                prefix.ends_with('/') ? prefix : prefix.substr(0, prefix.rfind('/') + 1);
            if (!keep(kept, folder.empty() ? "." : folder, true))
                return false;
        } else if (!arg.starts_with("-") && !keep(kept, arg, true)) {
            return false;
        }
    }
    for (const char* tree : {"/usr", "/lib", "/lib64", "/lib32", "/bin", "/sbin", "/etc"}) {
        struct stat st;
        if (lstat(tree, &st) == 0 && S_ISDIR(st.st_mode) && !keep(kept, tree, false))
            return false;
    }
    for (const char* node : {"/dev/null", "/dev/zero", "/dev/urandom"})
        if (!keep(kept, node, true))
            return false;
    if (!keep(kept, "/proc", true))
        return false;

    if (mount("fuzz", base.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return fail("cannot mount tmpfs on", base);
    for (const char* link : {"/bin", "/sbin", "/lib", "/lib64", "/lib32"}) {
        char target[PATH_MAX];
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0 &&
            symlinkat(std::string(target, size_t(n)).c_str(), AT_FDCWD, (base + link).c_str()) != 0)
            return fail("cannot link", link);
    }
    for (const Kept& source : kept)
        if (!bind(source))
            return false;
    for (const Kept& source : kept)
        close(source.fd);
    for (const char* dir : {"/flash", "/ram", "/ram/pdb", "/scratch", "/outside", "/outside/dir"})
        mkdir((base + dir).c_str(), 0755);
    int decoy = open((base + "/outside/decoy").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (decoy < 0 || write(decoy, "decoy\n", 6) != 6)
        return fail("cannot write the decoy");
    close(decoy);
    if (chdir(base.c_str()) != 0 || chroot(".") != 0 || chdir(cwd) != 0)
        return fail("cannot enter", base);
    struct stat st;
    if (stat("/", &st) != 0)
        return fail("cannot stat the new root");
    worldDevice = st.st_dev;
    before = listWorld("");
    entered = true;
    return true;
}

void initialize(int argc, char** argv, bool scratchWorld) {
    if (!testbed::dropMachineCapabilities()) {
        std::fprintf(stderr, "fuzz: could not drop CAP_SYS_BOOT/CAP_SYS_MODULE\n");
        std::abort();
    }
    if (scratchWorld && !enterScratchWorld(argc, argv))
        std::abort();
}

void clearDirectory(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        removeBelow(fd);
    // The emptied directory has a new time; the next run compares against the world as it is
    // now.
    if (worldDevice != 0)
        before = listWorld("");
}

std::string describeWorld(const char* skip) {
    std::string text;
    for (const auto& [path, entry] : listWorld(skip))
        text += path + " " + std::to_string(entry.mode) + " " + std::to_string(entry.size) + " " +
                std::to_string(entry.mtime.tv_sec) + "." + std::to_string(entry.mtime.tv_nsec) +
                "\n";
    return text;
}

bool outsideChanged(const char* root, std::string& what) {
    Listing now = listWorld(root);
    Listing expected = before;
    for (auto at = expected.begin(); at != expected.end();)
        at = at->first.starts_with(std::string(root) + "/") ? expected.erase(at) : std::next(at);
    expected.erase(root);
    what.clear();
    for (const auto& [path, entry] : now) {
        auto old = expected.find(path);
        if (old == expected.end())
            what += "appeared: " + path + "\n";
        else if (!(old->second == entry))
            what += "changed: " + path + "\n";
    }
    for (const auto& [path, entry] : expected)
        if (!now.count(path))
            what += "vanished: " + path + "\n";
    return !what.empty();
}

} // namespace fuzz
