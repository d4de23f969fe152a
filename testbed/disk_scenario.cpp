// Runs the installer's disk steps one after another inside the sandbox, the way a flow would,
// and prints what a test needs to see. Each argument is one step:
//   list                 listDisks, one line per record
//   find                 findHardDisk into the target
//   record:DEV:C:H:S     sets the target to that geometry without asking the tool
//   bootcode             installBootCode on the target
//   prepare              prepareDisk(target, no keep)
//   finish               finishInstall(target)
//   mounts               the mounts below /flash
//   late:DEV:SECONDS     hides DEV until SECONDS have passed
//   record-tool          logs the partitioning tool's calls and input to /tmp/sfdisk.log
//   no-tool:PATH         removes a boot-image tool
//   failing-tool:PATH    replaces a boot-image tool by one that fails
//   fake-tool:PATH:TEXT  replaces a boot-image tool by a script that prints TEXT ("\n" → line)
//   interrupts           takes the console and start-up's signal handlers, as start-up does
//   system               puts a small installed system (bash, /bin/tavo, /sbin/fsck) in /flash
//   postinstall          adds /flash/etc/rc.d/rc.postinstall to it
//   show:PATH            prints a file
//   prepare-keep         prepareDisk(target, keep)
//   unmount              unmounts /flash/boot and /flash
//   keep-read            readOldConfiguration, held until keep-write
//   keep-write           writeBackConfiguration of what keep-read held
//   store-full:DIR       a configuration store of every kind of entry at DIR
//   store-small:DIR      a store of one file at DIR
//   store-many:DIR:N     a store of N files in directories of 100
//   store-loop:DIR       a store whose directory link points back up to DIR
//   manifest:DIR         every entry below DIR, links followed, in path order
//   exists:PATH          whether PATH exists (without following a last link)
//   meminfo:KB           the kernel reports KB of available memory from now on
//   plant-link:PATH:TO   replaces PATH by a symbolic link to TO (created as a directory)
//   hdd-install          the hard-disk installation, its medium served as whole-disk ext2
//                        (this kernel has no FAT), into the target
//   save-first-sector    copies a disk's first sector to /tmp/<disk>.sector when the
//                        partitioning tool is first asked for its table dump
//   copy-sector:DEV:TO   copies DEV's first sector to the file TO
//   hex:PATH:FROM:LENGTH prints LENGTH bytes of a file from FROM in hex
// and for runs as process 1 of a virtual machine:
//   kernel-fs            mounts /proc and /sys as start-up does
//   block-devices        the block devices the kernel has now with their sizes in sectors
//   modules              loads the storage, then the USB list, one line per module file there
//   geometry             what the boot image's sfdisk -g says
//   broadcast:TEXT       loads the network driver of start-up, brings the first network card
//                        up as 10.99.0.2/24 and broadcasts TEXT to UDP port 5000, ten times
//   restart              restarts the machine (which ends it)
#include "disk/boot_record.h"
#include "disk/discovery.h"
#include "disk/kept_configuration.h"
#include "disk/modules.h"
#include "disk/post_install.h"
#include "disk/preparation.h"
#include "flows/hard_disk_install.h"
#include "startup/boot_steps.h"
#include "startup/child_process.h"
#include "startup/console.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace installer;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

void writeScript(const std::string& path, const std::string& body) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "#!/bin/bash\n" << body;
    chmod(path.c_str(), 0755);
}

void printRecord(const DiskRecord& record) {
    std::printf("%s %u %u %s %s\n", record.device, record.cylinders, record.bytesPerCylinder,
                record.separateBoot ? "separate-boot" : "one-partition",
                record.journaled ? "ext3" : "ext2");
}

void printMounts() {
    std::ifstream mounts("/proc/mounts");
    std::string device, point, type, rest;
    bool any = false;
    while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
        if (point.rfind("/flash", 0) == 0) {
            std::printf("mounted %s %s %s\n", device.c_str(), point.c_str(), type.c_str());
            any = true;
        }
    }
    if (!any)
        std::printf("nothing mounted at /flash\n");
}

void hideUntil(const std::string& device, int seconds) {
    std::string hidden = device + ".late";
    rename(device.c_str(), hidden.c_str());
    if (fork() == 0) {
        sleep(static_cast<unsigned>(seconds));
        rename(hidden.c_str(), device.c_str());
        _exit(0);
    }
}

// The installed system needs a shell of its own: bash and the libraries of the boot image.
void stageSystem() {
    for (const char* directory : {"/lib", "/lib64", "/usr/lib", "/bin"}) {
        if (!fs::exists(directory))
            continue;
        fs::create_directories(fs::path(std::string("/flash") + directory).parent_path());
        fs::copy(directory, std::string("/flash") + directory,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                     fs::copy_options::skip_existing);
    }
    writeScript("/flash/bin/tavo", "echo \"tavo ran as $0 with: $*\"\n");
    writeScript("/flash/sbin/fsck", "echo \"fsck ran with: $*\"\n");
}

// ---- configuration stores

struct Entry {
    std::string path;
    mode_t mode;
    uid_t owner;
    gid_t group;
    timespec atime, mtime;
    std::string contents; // regular files
    std::string link;     // a symbolic link to this text instead
    bool device = false, pipe = false;
};

// Times that differ per entry, down to the nanosecond, all well in the past.
void setTimes(std::vector<Entry>& entries) {
    long k = 1;
    for (Entry& entry : entries) {
        entry.atime = {1100000000 + k * 86400, 123456789 - k};
        entry.mtime = {1000000000 + k * 3600, 987654321 - k};
        ++k;
    }
}

void makeEntries(const std::string& top, std::vector<Entry> entries) {
    setTimes(entries);
    for (const Entry& entry : entries) {
        std::string path = top + entry.path;
        if (!entry.link.empty()) {
            symlink(entry.link.c_str(), path.c_str());
            continue;
        }
        if (entry.device)
            mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3));
        else if (entry.pipe)
            mkfifo(path.c_str(), 0600);
        else if (entry.mode & S_IFDIR)
            mkdir(path.c_str(), 0700);
        else
            std::ofstream(path, std::ios::binary) << entry.contents;
        lchown(path.c_str(), entry.owner, entry.group);
        chmod(path.c_str(), entry.mode & 07777);
    }
    // Deepest first: what is made inside a directory changes its times.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (!entry->link.empty())
            continue;
        const timespec times[2] = {entry->atime, entry->mtime};
        utimensat(AT_FDCWD, (top + entry->path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

std::string pattern(size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 16);
    }
    return bytes;
}

constexpr mode_t dir = S_IFDIR, file = S_IFREG;

void storeFull(const std::string& top) {
    makeEntries(top,
                {
                    {"", dir | 0750, 100, 200, {}, {}, "", "", false, false},
                    {"/etc", dir | 0755, 0, 0, {}, {}, "", "", false, false},
                    {"/etc/network.conf",
                     file | 0644,
                     1,
                     2,
                     {},
                     {},
                     "address 10.0.0.1\n",
                     "",
                     false,
                     false},
                    {"/empty", dir | 0711, 42, 43, {}, {}, "", "", false, false},
                    {"/shared", dir | 02775, 0, 9, {}, {}, "", "", false, false},
                    {"/shared/setuid", file | 04755, 5, 6, {}, {}, "#!/bin/sh\n", "", false, false},
                    {"/big.bin", file | 0600, 7, 8, {}, {}, pattern(50000, 1), "", false, false},
                    {"/block.bin", file | 0640, 0, 0, {}, {}, pattern(16000, 2), "", false, false},
                    {"/empty-file", file | 0444, 3, 4, {}, {}, "", "", false, false},
                    {"/" + std::string(240, 'n'),
                     file | 0600,
                     0,
                     0,
                     {},
                     {},
                     "long name\n",
                     "",
                     false,
                     false},
                    {"/link-to-file", 0, 0, 0, {}, {}, "", "etc/network.conf", false, false},
                    {"/link-to-dir", 0, 0, 0, {}, {}, "", "etc", false, false},
                    {"/null", 0, 0, 0, {}, {}, "", "", true, false},
                    {"/fifo", 0, 0, 0, {}, {}, "", "", false, true},
                });
}

void storeMany(const std::string& top, int count) {
    std::vector<Entry> entries{{"", dir | 0755, 0, 0, {}, {}, "", "", false, false}};
    for (int i = 0; i < count; ++i) {
        std::string group = "/d" + std::to_string(i / 100);
        if (i % 100 == 0)
            entries.push_back({group, dir | 0755, 0, 0, {}, {}, "", "", false, false});
        entries.push_back({group + "/f" + std::to_string(i),
                           file | 0640,
                           uid_t(i),
                           gid_t(i % 7),
                           {},
                           {},
                           pattern(size_t(i) * 37 % 3000, unsigned(i)),
                           "",
                           false,
                           false});
    }
    makeEntries(top, entries);
}

uint64_t digest(const std::string& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Reads without changing access times, as the installer reads a store.
std::string readAll(const std::string& path) {
    std::string bytes;
    int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
    char buffer[4096];
    for (ssize_t got; fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, size_t(got));
    if (fd >= 0)
        close(fd);
    return bytes;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME);
    DIR* directory = fd >= 0 ? fdopendir(fd) : nullptr;
    while (dirent* entry = directory ? readdir(directory) : nullptr)
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(path + "/" + entry->d_name);
    if (directory)
        closedir(directory);
    return names;
}

// One line per entry that a kept store would hold, in path order; nothing is changed.
void manifest(const std::string& top) {
    std::vector<std::string> lines;
    std::vector<std::string> todo{top};
    while (!todo.empty()) {
        std::string path = todo.back();
        todo.pop_back();
        struct stat status {
        }, own{};
        if (stat(path.c_str(), &status) != 0 || lstat(path.c_str(), &own) != 0)
            continue;
        if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
            continue;
        char line[512];
        std::snprintf(line, sizeof line, " %s %o %u:%u size=%lld a=%lld.%09ld m=%lld.%09ld",
                      S_ISDIR(status.st_mode) ? "dir" : "file", unsigned(status.st_mode & 07777),
                      unsigned(status.st_uid), unsigned(status.st_gid),
                      S_ISREG(status.st_mode) ? (long long)status.st_size : 0LL,
                      (long long)status.st_atim.tv_sec, status.st_atim.tv_nsec,
                      (long long)status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
        std::string text = "." + path.substr(top.size()) + line;
        if (S_ISLNK(own.st_mode))
            text += " (link)";
        if (S_ISREG(status.st_mode)) {
            std::string contents = readAll(path);
            text += " bytes=" + std::to_string(contents.size()) +
                    " digest=" + std::to_string(digest(contents));
        } else {
            for (const std::string& child : listDirectory(path))
                todo.push_back(child);
        }
        lines.push_back(text);
    }
    std::sort(lines.begin(), lines.end());
    std::printf("--- manifest %s\n", top.c_str());
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    std::printf("--- end\n");
}

void fakeMemInfo(const std::string& kilobytes) {
    std::ofstream("/tmp/meminfo") << "MemTotal: " << kilobytes << " kB\nMemAvailable: " << kilobytes
                                  << " kB\n";
    if (mount("/tmp/meminfo", "/proc/meminfo", nullptr, MS_BIND, nullptr) != 0)
        std::perror("meminfo");
}

std::unique_ptr<ConfigStore> heldStore;
const char* scenarioPath = "";

bool mountExt2Medium(const char* device) {
    return mount(device, "/floppy", "ext2", 0, nullptr) == 0;
}

void printBlockDevices() {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/sys/block", ignored)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("loop", 0) != 0 && name.rfind("ram", 0) != 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::string line;
    for (const std::string& name : names) {
        std::ifstream size("/sys/block/" + name + "/size");
        std::string sectors;
        size >> sectors;
        line += " " + name + ":" + sectors;
    }
    std::printf("block devices:%s\n", line.c_str());
}

// Each module of the lists that the boot image carries, with what the kernel said to it.
void loadListsReporting() {
    utsname system{};
    uname(&system);
    std::string directory = std::string("/lib/modules/") + system.release + "/";
    for (const char* const* list : {storageModules, usbModules}) {
        for (const char* const* entry = list; *entry; ++entry) {
            if (access((directory + *entry).c_str(), F_OK) != 0)
                continue;
            errno = 0;
            int result = loadModule(*entry);
            int error = errno;
            std::printf("module %s %d%s%s\n", *entry, result, result ? " " : "",
                        result ? std::strerror(error) : "");
        }
    }
}

// Proves a network card to the harness: a broadcast from the first interface that is not lo.
void broadcastOnFirstCard(const std::string& text) {
    std::printf("network driver %d\n", loadModule("drivers/net/atl1c.ko"));
    std::string card;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/sys/class/net", ignored))
        if (entry.path().filename() != "lo")
            card = entry.path().filename().string();
    if (card.empty()) {
        std::printf("no network card\n");
        return;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", card.c_str());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "10.99.0.2", &address.sin_addr);
    std::memcpy(&request.ifr_addr, &address, sizeof address);
    ioctl(fd, SIOCSIFADDR, &request);
    inet_pton(AF_INET, "255.255.255.0", &address.sin_addr);
    std::memcpy(&request.ifr_netmask, &address, sizeof address);
    ioctl(fd, SIOCSIFNETMASK, &request);
    ioctl(fd, SIOCGIFFLAGS, &request);
    request.ifr_flags |= IFF_UP | IFF_BROADCAST;
    ioctl(fd, SIOCSIFFLAGS, &request);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, card.c_str(), card.size());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    to.sin_addr.s_addr = INADDR_BROADCAST;
    for (int i = 0; i < 10; ++i) {
        ssize_t sent =
            sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::printf("broadcast on %s: %zd\n", card.c_str(), sent);
        std::fflush(stdout);
        sleep(1);
    }
    close(fd);
}

bool runStep(const std::string& step, DiskRecord& target) {
    std::vector<std::string> part = split(step, ':');
    const std::string& name = part[0];
    if (name == "list") {
        DiskRecord* table = listDisks();
        if (!table) {
            std::printf("no disks\n");
            return true;
        }
        // The table has four records; those beyond the listing keep older contents.
        for (int i = 0; i < 4 && table[i].device[0]; ++i)
            printRecord(table[i]);
    } else if (name == "find") {
        bool found = findHardDisk(target);
        std::printf("findHardDisk=%s\n", found ? "true" : "false");
        if (found)
            printRecord(target);
    } else if (name == "record" && part.size() == 5) {
        target = describeDisk(part[1].c_str(), std::stoul(part[2]), std::stoul(part[3]),
                              std::stoul(part[4]));
    } else if (name == "bootcode") {
        std::printf("installBootCode=%s\n", installBootCode(target.device) ? "true" : "false");
    } else if (name == "prepare") {
        std::printf("prepareDisk=%s\n", prepareDisk(target, false) ? "true" : "false");
    } else if (name == "finish") {
        finishInstall(target);
        std::printf("finishInstall done\n");
    } else if (name == "mounts") {
        printMounts();
    } else if (name == "late" && part.size() == 3) {
        hideUntil(part[1], std::stoi(part[2]));
    } else if (name == "record-tool") {
        rename("/sbin/sfdisk", "/sbin/sfdisk.real");
        writeScript("/sbin/sfdisk", "echo \"call: $*\" >> /tmp/sfdisk.log\n"
                                    "if [ \"$1\" = -q ]; then\n"
                                    "  while IFS= read -r line; do\n"
                                    "    echo \"input: $line\" >> /tmp/sfdisk.log\n"
                                    "    echo \"$line\"\n"
                                    "  done | /sbin/sfdisk.real \"$@\"\n"
                                    "else exec /sbin/sfdisk.real \"$@\"; fi\n");
    } else if (name == "no-tool" && part.size() == 2) {
        unlink(part[1].c_str());
    } else if (name == "failing-tool" && part.size() == 2) {
        writeScript(part[1], "echo \"$0 fails on purpose\"\nexit 1\n");
    } else if (name == "interrupts") {
        takeConsoleAsControllingTerminal();
        installStartupSignals();
    } else if (name == "fake-tool" && part.size() >= 3) {
        std::string text = step.substr(step.find(':', name.size() + 1) + 1);
        writeScript(part[1], "printf '" + text + "'\n");
    } else if (name == "system") {
        stageSystem();
    } else if (name == "postinstall") {
        writeScript("/flash/etc/rc.d/rc.postinstall",
                    "read -r line < /etc/fstab\necho \"postinstall sees: $line\"\n");
    } else if (name == "kernel-fs") {
        mountKernelFileSystems();
        std::signal(SIGPIPE, SIG_IGN);
    } else if (name == "geometry") {
        if (FILE* listing = openToolOutput({"-g"})) {
            char line[256];
            while (std::fgets(line, sizeof line, listing))
                std::printf("sfdisk: %s", line);
            closePipedChild(listing);
        }
    } else if (name == "block-devices") {
        printBlockDevices();
    } else if (name == "modules") {
        loadListsReporting();
    } else if (name == "broadcast" && part.size() == 2) {
        broadcastOnFirstCard(part[1]);
    } else if (name == "restart") {
        std::printf("restarting\n");
        std::fflush(stdout);
        sync();
        restartMachine();
        std::printf("restart refused\n");
    } else if (name == "show" && part.size() == 2) {
        std::ifstream file(part[1]);
        std::stringstream text;
        text << file.rdbuf();
        std::printf("--- %s\n%s--- end\n", part[1].c_str(), text.str().c_str());
    } else if (name == "prepare-keep") {
        std::printf("prepareDisk=%s\n", prepareDisk(target, true) ? "true" : "false");
    } else if (name == "unmount") {
        umount("/flash/boot");
        umount("/flash");
    } else if (name == "keep-read") {
        heldStore = readOldConfiguration(target);
        std::printf("kept=%s\n", heldStore ? "yes" : "no");
    } else if (name == "keep-write") {
        bool written = writeBackConfiguration(std::move(heldStore));
        std::printf("writeBackConfiguration=%s\n", written ? "true" : "false");
    } else if (name == "store-full" && part.size() == 2) {
        storeFull(part[1]);
    } else if (name == "store-small" && part.size() == 2) {
        mkdir(part[1].c_str(), 0755);
        std::ofstream(part[1] + "/small") << "small store\n";
    } else if (name == "store-many" && part.size() == 3) {
        storeMany(part[1], std::stoi(part[2]));
    } else if (name == "store-loop" && part.size() == 2) {
        fs::create_directories(part[1] + "/a/b");
        std::ofstream(part[1] + "/a/file") << "x";
        symlink("../..", (part[1] + "/a/b/up").c_str());
    } else if (name == "manifest" && part.size() == 2) {
        manifest(part[1]);
    } else if (name == "exists" && part.size() == 2) {
        struct stat status {};
        std::printf("%s %s\n", part[1].c_str(),
                    lstat(part[1].c_str(), &status) == 0 ? "exists" : "missing");
    } else if (name == "meminfo" && part.size() == 2) {
        fakeMemInfo(part[1]);
    } else if (name == "hdd-install") {
        bool installed = hardDiskInstallFrom(target, mountExt2Medium);
        std::printf("hardDiskInstall=%s\n", installed ? "true" : "false");
        printRecord(target);
    } else if (name == "save-first-sector") {
        rename("/sbin/sfdisk", "/sbin/sfdisk.saving");
        writeScript("/sbin/sfdisk", "if [ \"$1\" = -d ] && [ ! -e /tmp/${3##*/}.sector ]; then\n"
                                    "  " +
                                        std::string(scenarioPath) +
                                        " copy-sector:$3:/tmp/${3##*/}.sector >/dev/null\n"
                                        "fi\n"
                                        "exec /sbin/sfdisk.saving \"$@\"\n");
    } else if (name == "hex" && part.size() == 4) {
        std::string bytes = readAll(part[1]);
        size_t from = std::stoul(part[2]), length = std::stoul(part[3]);
        std::printf("--- hex %s\n", part[1].c_str());
        for (size_t i = from; i < from + length && i < bytes.size(); ++i)
            std::printf("%02x", static_cast<unsigned char>(bytes[i]));
        std::printf("\n--- end\n");
    } else if (name == "copy-sector" && part.size() == 3) {
        unsigned char sector[512];
        if (readBootRecord(part[1].c_str(), sector))
            std::ofstream(part[2], std::ios::binary)
                .write(reinterpret_cast<const char*>(sector), sizeof sector);
    } else if (name == "plant-link" && part.size() == 3) {
        fs::remove_all(part[1]);
        fs::create_directories(part[2]);
        symlink(part[2].c_str(), part[1].c_str());
    } else {
        std::printf("unknown step %s\n", step.c_str());
        return false;
    }
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    static ConsoleState state;
    consoleState = &state;
    scenarioPath = argv[0];
    DiskRecord target;
    for (int i = 1; i < argc; ++i) {
        if (!runStep(argv[i], target))
            return 1;
    }
    std::printf("scenario done\n");
    std::fflush(stdout);
    return 0;
}
