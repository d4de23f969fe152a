#include "startup/init_wrapper.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

namespace installer {

namespace {

volatile pid_t workingChild = -1;

// The kernel turns Ctrl-Alt-Delete into this signal for the first process; the abort belongs
// to the working process.
void forwardInterrupt(int) {
    int saved = errno;
    if (workingChild > 0)
        kill(workingChild, SIGINT);
    errno = saved;
}

} // namespace

bool startedAsInit(const char* argv0) {
    return argv0 && std::strstr(argv0, "init") != nullptr;
}

bool forkAndWaitAsInit(int& exitCode) {
    // An interrupt between the fork and the forwarding below would end the first process (and
    // with it the machine): it waits, blocked, until the forwarding is in place.
    sigset_t interrupt, before;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &before);
    pid_t child = fork();
    if (child <= 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return false;
    }
    workingChild = child;
    // Ctrl-Alt-Delete would otherwise restart the machine at once, under a half-written disk;
    // as a signal it takes the abort path, which asks first. Refused without the right to
    // restart (and outside the first PID namespace), which changes nothing then.
    reboot(RB_DISABLE_CAD);
    struct sigaction forward {
    }, previous{};
    forward.sa_handler = forwardInterrupt;
    sigemptyset(&forward.sa_mask);
    sigaction(SIGINT, &forward, &previous);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    workingChild = -1;
    sigaction(SIGINT, &previous, nullptr);
    exitCode = status;
    return true;
}

} // namespace installer
