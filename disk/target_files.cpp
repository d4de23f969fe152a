#include "disk/target_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace installer {

namespace {

std::string below(const char* root, const char* path) {
    return std::string(root) + path;
}

bool makeEtc(const char* root) {
    return mkdir(below(root, "/etc").c_str(), 0755) == 0 || errno == EEXIST;
}

// Opens a configuration file for writing; it gets mode 0644 whatever the umask.
FILE* createConfigFile(const char* root, const char* path) {
    if (!makeEtc(root))
        return nullptr;
    FILE* file = std::fopen(below(root, path).c_str(), "w");
    if (file && fchmod(fileno(file), 0644) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

// A file cut short by a full disk is as useless as a missing one.
bool finish(FILE* file) {
    bool written = !std::ferror(file);
    return std::fclose(file) == 0 && written;
}

} // namespace

bool writeLiloConf(const char* root, const DiskRecord& disk) {
    FILE* file = createConfigFile(root, "/etc/lilo.conf");
    if (file) {
        // The loader goes into partition 1's boot sector, where the boot code finds it.
        std::fprintf(file, "boot=%s1\n", disk.device);
        std::fputs("map=/boot/map\n"
                   "install=/boot/boot.b\n"
                   "lba32\n"
                   "image=/boot/vmlinuz\n"
                   "  label=System\n",
                   file);
        std::fprintf(file, "  root=%s%d\n", disk.device, disk.separateBoot ? 2 : 1);
        std::fputs("  read-only\n", file);
        if (finish(file))
            return true;
    }
    std::printf("ERROR: could not create lilo.conf\n");
    return false;
}

bool writeFstab(const char* root, const DiskRecord& disk) {
    FILE* file = createConfigFile(root, "/etc/fstab");
    if (file) {
        const char* type = disk.journaled ? "ext3" : "ext2";
        if (disk.separateBoot) {
            std::fprintf(file, "%s2  /     %s defaults 1 1\n", disk.device, type);
            std::fprintf(file, "%s1  /boot ext2 defaults 1 2\n", disk.device);
        } else {
            std::fprintf(file, "%s1  /     %s defaults 1 1\n", disk.device, type);
        }
        std::fputs("none /proc proc defaults 0 0\n"
                   "none /dev/pts devpts gid=5,mode=620 0 0\n",
                   file);
        if (finish(file))
            return true;
    }
    std::printf("ERROR: could not create fstab\n");
    return false;
}

void markNoFsck(const char* root) {
    int fd = open(below(root, "/.nofsck").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}

void createBaseDirectories(const char* root) {
    for (const char* path : {"/rw", "/vela", "/vela/etc", "/var", "/var/pdb"}) {
        if (mkdir(below(root, path).c_str(), 0755) != 0)
            std::perror(path);
    }
}

} // namespace installer
