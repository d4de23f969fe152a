// A stand-in for the installer that reports what the sandbox gave it: run as process 1, it
// prints its view of the isolation and answers the console, so tests can check the sandbox
// itself without the installer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

const char* exists(const char* path) {
    return access(path, F_OK) == 0 ? "yes" : "no";
}

bool heldAnywhere(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &header, data);
    unsigned word = static_cast<unsigned>(cap) / 32, bit = 1u << (cap % 32);
    return ((data[word].effective | data[word].permitted | data[word].inheritable) & bit) ||
           syscall(SYS_prctl, 23 /* PR_CAPBSET_READ */, cap, 0, 0, 0) == 1;
}

} // namespace

int main(int argc, char** argv) {
    utsname names{};
    uname(&names);
    std::printf("pid=%d hostname=%s\n", static_cast<int>(getpid()), names.nodename);
    std::printf("cap_sys_boot=%s cap_sys_module=%s\n", heldAnywhere(CAP_SYS_BOOT) ? "held" : "gone",
                heldAnywhere(CAP_SYS_MODULE) ? "held" : "gone");
    errno = 0;
    syscall(SYS_init_module, nullptr, 0, "");
    std::printf("init_module=%s\n", std::strerror(errno));
    std::printf("tty0=%s ttyS0=%s tty9=%s sda=%s hdb=%s TYPE=%s\n", exists("/dev/tty0"),
                exists("/dev/ttyS0"), exists("/dev/tty9"), exists("/dev/sda"), exists("/dev/hdb"),
                exists("/TYPE"));
    std::printf("stdin_is_tty=%s\n", isatty(0) ? "yes" : "no");
    mkdir("/sys", 0755);
    std::printf("mount_sysfs=%s\n",
                mount("sysfs", "/sys", "sysfs", 0, nullptr) == 0 ? "ok" : "failed");
    std::printf("mount_proc=%s\n",
                mount("proc", "/proc", "proc", 0, nullptr) == 0 ? "ok" : "failed");
    char netns[64] = {};
    if (readlink("/proc/self/ns/net", netns, sizeof netns - 1) > 0)
        std::printf("netns=%s\n", netns);
    int log = open("/dev/tty9", O_WRONLY);
    if (log >= 0) {
        dprintf(log, "probe tool log\n");
        close(log);
    }
    for (int i = 1; i < argc; ++i)
        std::printf("arg=%s\n", argv[i]);
    std::printf("argv0=%s\n", argv[0]);
    std::printf("say something: ");
    std::fflush(stdout);
    char line[128] = "";
    if (!std::fgets(line, sizeof line, stdin))
        std::strcpy(line, "(end of input)\n");
    std::printf("heard %s", line);
    errno = 0;
    reboot(RB_AUTOBOOT);
    std::printf("reboot=%s\n", std::strerror(errno));
    std::fflush(stdout);
    return argc > 1 ? std::atoi(argv[argc - 1]) : 0;
}
