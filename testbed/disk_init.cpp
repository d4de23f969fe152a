// Process 1 of a disk test run in the sandbox: mounts what the installer's start-up would mount
// before any disk step runs, then becomes the program named by its arguments. Built static and
// without sanitizers, so that it runs before /proc exists.
#include <csignal>
#include <cstdio>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: disk_init PROGRAM [ARG...]\n");
        return 2;
    }
    mount("proc", "/proc", "proc", 0, nullptr);
    mkdir("/sys", 0755);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    mkdir("/flash", 0755);
    // As in the installer: a tool that dies shows up as a failed write, not a dead installer.
    std::signal(SIGPIPE, SIG_IGN);
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
