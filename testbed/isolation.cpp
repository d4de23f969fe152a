#include "testbed/isolation.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

char failureMessage[1200];

[[noreturn]] void fail(const IsolationPlan& plan, const char* step) {
    if (!failureMessage[0])
        std::snprintf(failureMessage, sizeof failureMessage, "%s: %s", step, std::strerror(errno));
    if (write(plan.statusFd, failureMessage, std::strlen(failureMessage)) < 0) {
    }
    _exit(127);
}

bool capabilityHeld(const __user_cap_data_struct* data, int cap) {
    unsigned word = static_cast<unsigned>(cap) / 32, bit = 1u << (cap % 32);
    return (data[word].effective | data[word].permitted | data[word].inheritable) & bit;
}

void resetSignals() {
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            std::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

int firstProcess(void* argument) {
    const IsolationPlan& plan = *static_cast<const IsolationPlan*>(argument);
    resetSignals();
    // Should the harness die, the whole run goes with it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        fail(plan, "PR_SET_PDEATHSIG");
    // Nothing mounted from here on may reach this machine's own mount table.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail(plan, "making mounts private");
    if (mount("sandbox-root", plan.rootDir, "tmpfs", 0, "mode=0755") != 0)
        fail(plan, "mounting the root");
    if (!applyRootPlan(*plan.rootSteps, plan.rootDir, failureMessage, sizeof failureMessage))
        fail(plan, "root");
    if (setsid() < 0)
        fail(plan, "setsid");
    if (ioctl(plan.consoleFd, TIOCSCTTY, 0) != 0)
        fail(plan, "taking the console as controlling terminal");
    int in = plan.consoleFd, out = plan.consoleFd;
    if (plan.serialConsole) {
        // Like a kernel whose console is not connected: the program must find /dev/ttyS0.
        in = out = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (in < 0)
            fail(plan, "opening /dev/null");
    }
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
        fail(plan, "console descriptors");
    if (plan.networkNamespaceFd >= 0 && setns(plan.networkNamespaceFd, CLONE_NEWNET) != 0)
        fail(plan, "joining the network namespace");
    if (sethostname("sandbox", 7) != 0)
        fail(plan, "sethostname");
    if (chdir(plan.rootDir) != 0 || chroot(".") != 0 || chdir("/") != 0)
        fail(plan, "chroot");
    if (!dropRestartAndModuleCapabilities())
        fail(plan, "dropping CAP_SYS_BOOT and CAP_SYS_MODULE");
    if (syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
        fail(plan, "close_range");
    execve(plan.program, plan.argv, plan.envp);
    if (errno == ENOEXEC && plan.emulator) {
        // The kernel never delivers terminal signals to process 1 unless it handles them; an
        // emulator cannot know it is process 1 and would act on them. Ignoring them gives the
        // program the disposition it would have, until it installs handlers of its own.
        for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGHUP})
            std::signal(sig, SIG_IGN);
        execve(plan.emulator, plan.emulatorArgv, plan.envp);
        fail(plan, "exec through the emulator");
    }
    fail(plan, "exec");
}

} // namespace

bool dropRestartAndModuleCapabilities() {
    for (int cap : {CAP_SYS_BOOT, CAP_SYS_MODULE})
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && prctl(PR_CAPBSET_READ, cap, 0, 0, 0) != 0)
            return false;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : {CAP_SYS_BOOT, CAP_SYS_MODULE}) {
        unsigned word = static_cast<unsigned>(cap) / 32, bit = 1u << (cap % 32);
        data[word].effective &= ~bit;
        data[word].permitted &= ~bit;
        data[word].inheritable &= ~bit;
    }
    if (syscall(SYS_capset, &header, data) != 0)
        return false;
    __user_cap_data_struct check[2]{};
    if (syscall(SYS_capget, &header, check) != 0)
        return false;
    for (int cap : {CAP_SYS_BOOT, CAP_SYS_MODULE})
        if (capabilityHeld(check, cap) || prctl(PR_CAPBSET_READ, cap, 0, 0, 0) != 0 ||
            prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) == 1)
            return false;
    return true;
}

pid_t startIsolated(const IsolationPlan& plan) {
    const size_t stackSize = 1 << 20;
    void* stack = mmap(nullptr, stackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED)
        return -1;
    int flags = CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWIPC | SIGCHLD;
    pid_t pid = clone(firstProcess, static_cast<char*>(stack) + stackSize, flags,
                      const_cast<IsolationPlan*>(&plan));
    int saved = errno;
    munmap(stack, stackSize);
    errno = saved;
    return pid;
}
