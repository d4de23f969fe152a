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
//   system               puts a small installed system (bash, /bin/tavo, /sbin/fsck) in /flash
//   postinstall          adds /flash/etc/rc.d/rc.postinstall to it
//   show:PATH            prints a file
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
#include "disk/modules.h"
#include "disk/post_install.h"
#include "disk/preparation.h"
#include "startup/boot_steps.h"
#include "startup/child_process.h"
#include "startup/console.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    DiskRecord target;
    for (int i = 1; i < argc; ++i) {
        if (!runStep(argv[i], target))
            return 1;
    }
    std::printf("scenario done\n");
    std::fflush(stdout);
    return 0;
}
