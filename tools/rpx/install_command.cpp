#include "tools/rpx/install_command.h"

#include "network/installer_child.h"
#include "package/record/record_root.h"
#include "startup/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace installer;

namespace rpx {

namespace {} // namespace

const char installUsage[] =
    "usage: rpx install --root DIR FILE...\n"
    "Installs the package files into DIR as an installation does onto a new disk: DIR is\n"
    "mounted at /flash in a private mount namespace (root only), each FILE is written into\n"
    "a package-installer child of its own, and the child's messages appear here.\n";

namespace {

// The piece size the installation flows write into the pipe.
constexpr size_t pieceSize = 4096;

struct OpenFile {
    std::string path;
    int fd;
};

bool failed(const std::string& what) {
    std::fprintf(stderr, "rpx: install: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

bool mountAt(const char* source, const std::string& target, const char* type, unsigned long flags,
             const char* options = nullptr) {
    return mount(source, target.c_str(), type, flags, options) == 0 || failed("mount " + target);
}

// A root of its own with the target at /flash, a fresh /ram and the host's /dev, entered
// with chroot. Runs in the child after the mount namespace has been made private.
bool enterInstallRoot(const std::string& base, const std::string& target) {
    if (!mountAt(nullptr, "/", nullptr, MS_REC | MS_PRIVATE) ||
        !mountAt("rpx-root", base, "tmpfs", MS_NOSUID, "mode=0755"))
        return false;
    for (const char* dir : {installer::targetDirectory, "/ram", "/dev", "/tmp"})
        if (mkdir((base + dir).c_str(), 0755) != 0)
            return failed("mkdir " + base + dir);
    return mountAt(target.c_str(), base + installer::targetDirectory, nullptr, MS_BIND | MS_REC) &&
           mountAt("/dev", base + "/dev", nullptr, MS_BIND | MS_REC) &&
           mountAt("ram", base + "/ram", "tmpfs", MS_NOSUID, "mode=0755") &&
           (chroot(base.c_str()) == 0 || failed("chroot " + base)) &&
           (chdir("/") == 0 || failed("chdir /"));
}

// Writes one file into a new installer child and ends the child; false when the child could
// not be started or stopped taking the package.
bool installOne(const OpenFile& file) {
    std::FILE* pipe = installer::openInstallerPipe(installer::InstallerMode::softwarePackage);
    if (!pipe) {
        std::fprintf(stderr, "rpx: install: %s: could not start the installer child\n",
                     file.path.c_str());
        return false;
    }
    char piece[pieceSize];
    bool written = true;
    for (;;) {
        ssize_t got = read(file.fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            written = failed(file.path);
            break;
        }
        if (got == 0)
            break;
        if (std::fwrite(piece, 1, size_t(got), pipe) != size_t(got)) {
            written = false;
            break;
        }
    }
    written = std::fflush(pipe) == 0 && written;
    closePipedChild(pipe);
    if (!written)
        std::fprintf(stderr, "rpx: install: %s: the installer child did not take it all\n",
                     file.path.c_str());
    return written;
}

int installInNamespace(const std::string& base, const std::string& target,
                       const std::vector<OpenFile>& files) {
    if (unshare(CLONE_NEWNS) != 0) {
        failed("unshare");
        return 1;
    }
    if (!enterInstallRoot(base, target))
        return 1;
    // As in the installer: a child that died shows up as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    umask(022);
    int status = 0;
    for (const OpenFile& file : files)
        if (!installOne(file))
            status = 1;
    std::fflush(nullptr);
    return status;
}

} // namespace

int installCommand(const std::string& root, const std::vector<std::string>& paths) {
    if (geteuid() != 0) {
        std::cerr << "rpx: install: must be run as root: the target is mounted at /flash in a "
                     "private mount namespace\n";
        return 1;
    }
    char* resolved = realpath(root.c_str(), nullptr);
    struct stat st;
    if (!resolved || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::free(resolved);
        std::cerr << "rpx: install: " << root << ": not a directory\n";
        return 1;
    }
    std::string target = resolved;
    std::free(resolved);
    // The database directory a prepared disk has.
    for (const char* dir : {"/var", "/var/pdb"})
        if (mkdir((target + dir).c_str(), 0755) != 0 && errno != EEXIST)
            return failed(target + dir), 1;

    std::vector<OpenFile> files;
    for (const std::string& path : paths) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            failed(path);
            for (const OpenFile& file : files)
                close(file.fd);
            return 1;
        }
        files.push_back({path, fd});
    }

    char base[] = "/tmp/rpx-install-XXXXXX";
    if (!mkdtemp(base))
        return failed("mkdtemp"), 1;
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0)
        _exit(installInNamespace(base, target, files));
    int status = 0;
    bool waited = child > 0;
    while (waited && waitpid(child, &status, 0) < 0)
        waited = errno == EINTR;
    rmdir(base);
    for (const OpenFile& file : files)
        close(file.fd);
    if (child < 0)
        return failed("fork"), 1;
    return waited && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace rpx
