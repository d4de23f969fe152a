// Child processes, and the real system behind startup/system_interface.h: every call of that
// interface is one of the functions here, or the system call it names.
#include "startup/child_process.h"

#include "startup/console.h"
#include "startup/system_interface.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace installer {

pid_t pipedChildPid = -1;

namespace {

const char* const partitioningTool = "/sbin/sfdisk";

// Room for the program path, 15 arguments and the terminating null.
struct ArgumentVector {
    const char* entries[17] = {};
    int count = 0;
    void add(const char* argument) {
        if (count < 16)
            entries[count++] = argument;
    }
    char* const* get() { return const_cast<char* const*>(entries); }
};

// Retries a wait cut short by a signal; the raw status, or -1.
int waitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

void closeDescriptorsFrom(int first) {
    for (int fd = first; fd <= 15; ++fd)
        close(fd);
}

// Makes fd the descriptor target in a child about to exec; false when that fails.
bool placeDescriptor(int fd, int target) {
    if (fd < 0)
        return false;
    if (fd == target)
        return true;
    return dup2(fd, target) == target;
}

} // namespace

pid_t forkChild() {
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &previous);
    pid_t pid = fork();
    if (pid == 0)
        signal(SIGINT, SIG_DFL);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

namespace {

int spawnTool(const char* root, const char* program, std::initializer_list<const char*> args) {
    ArgumentVector argv;
    argv.add(program);
    for (const char* argument : args) {
        if (!argument)
            break;
        argv.add(argument);
    }
    pid_t pid = forkChild();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        closeDescriptorsFrom(0);
        open("/dev/null", O_RDONLY); // descriptor 0
        open(toolLog, O_WRONLY);     // descriptor 1
        dup(1);                      // descriptor 2
        if (root && chroot(root) != 0)
            _exit(127);
        execv(program, argv.get());
        _exit(127);
    }
    return waitForChild(pid);
}

FILE* startOutputTool(std::initializer_list<const char*> args) {
    if (pipedChildPid != -1)
        return nullptr;
    ArgumentVector argv;
    argv.add(partitioningTool);
    for (const char* argument : args) {
        if (!argument)
            break;
        argv.add(argument);
    }
    int ends[2];
    if (pipe(ends) != 0)
        return nullptr;
    FILE* stream = fdopen(ends[0], "r");
    if (!stream) {
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }
    pid_t pid = forkChild();
    if (pid < 0) {
        fclose(stream);
        close(ends[1]);
        return nullptr;
    }
    if (pid == 0) {
        int input = open("/dev/null", O_RDONLY);
        int errors = open(toolLog, O_WRONLY);
        if (!placeDescriptor(ends[1], 1))
            _exit(127);
        placeDescriptor(input, 0);
        placeDescriptor(errors, 2);
        closeDescriptorsFrom(3);
        execv(partitioningTool, argv.get());
        _exit(127);
    }
    close(ends[1]);
    pipedChildPid = pid;
    return stream;
}

FILE* startInputTool(std::initializer_list<const char*> args) {
    ArgumentVector argv;
    argv.add(partitioningTool);
    bool toLog = false;
    for (const char* argument : args) {
        if (!argument)
            break;
        if (std::strcmp(argument, ">null") == 0)
            toLog = true;
        else
            argv.add(argument);
    }
    if (pipedChildPid != -1)
        return nullptr;
    int ends[2];
    if (pipe(ends) != 0)
        return nullptr;
    pid_t pid = forkChild();
    if (pid < 0) {
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }
    if (pid == 0) {
        if (!placeDescriptor(ends[0], 0))
            _exit(127);
        if (toLog) {
            int log = open(toolLog, O_WRONLY);
            placeDescriptor(log, 1);
            placeDescriptor(log, 2);
        }
        closeDescriptorsFrom(3);
        execv(partitioningTool, argv.get());
        _exit(127);
    }
    close(ends[0]);
    FILE* stream = fdopen(ends[1], "w");
    if (!stream) {
        // The tool sees the end of its input and finishes; it must not be left behind.
        close(ends[1]);
        waitForChild(pid);
        return nullptr;
    }
    pipedChildPid = pid;
    return stream;
}

int finishPipedChild(FILE* stream) {
    if (pipedChildPid == -1)
        return -1;
    pid_t child = pipedChildPid;
    pipedChildPid = -1;
    // A stream whose last write fails (the child died) still has a child to collect.
    bool closed = fclose(stream) == 0;
    int status = waitForChild(child);
    return closed ? status : -1;
}

class RealSystem final : public SystemInterface {
public:
    int runTool(const char* root, const char* program,
                std::initializer_list<const char*> args) override {
        return spawnTool(root, program, args);
    }
    FILE* openToolOutput(std::initializer_list<const char*> args) override {
        return startOutputTool(args);
    }
    FILE* openToolInput(std::initializer_list<const char*> args) override {
        return startInputTool(args);
    }
    int closePipedChild(FILE* stream) override { return finishPipedChild(stream); }
    void makeDirectory(const char* path, mode_t mode) override { mkdir(path, mode); }
    bool mount(const char* source, const char* target, const char* type) override {
        return ::mount(source, target, type, 0, nullptr) == 0;
    }
    void unmount(const char* target) override { umount(target); }
    void pause(unsigned seconds) override { sleep(seconds); }
    void pauseThrough(unsigned seconds) override {
        timespec left{time_t(seconds), 0};
        while (nanosleep(&left, &left) != 0) {
        }
    }
    void scheduleAlarm(unsigned seconds) override { alarm(seconds); }
    int readKey() override {
        unsigned char key;
        for (;;) {
            ssize_t n = read(0, &key, 1);
            if (n == 1)
                return key;
            if (n < 0 && errno == EINTR)
                continue;
            return -1;
        }
    }
};

RealSystem realSystem;
SystemInterface* systemInUse = &realSystem;

} // namespace

SystemInterface& currentSystem() {
    return *systemInUse;
}

void useSystem(SystemInterface* standIn) {
    systemInUse = standIn ? standIn : &realSystem;
}

int runTool(const char* root, const char* program, std::initializer_list<const char*> args) {
    return systemInUse->runTool(root, program, args);
}

FILE* openToolOutput(std::initializer_list<const char*> args) {
    return systemInUse->openToolOutput(args);
}

FILE* openToolInput(std::initializer_list<const char*> args) {
    return systemInUse->openToolInput(args);
}

int closePipedChild(FILE* stream) {
    return systemInUse->closePipedChild(stream);
}

} // namespace installer
