// A stand-in that holds whatever runs it: a tool of the boot image, a package script's shell or
// a program of the installed system. It names itself "stalling" so that a test finds it among
// the processes of a run, says so on its output, and sleeps until a signal ends it (two minutes
// at most, so that nothing is held for ever). Like a real program finishing its writes, it takes
// half a second to go after an interrupt, its root and working directory still in use meanwhile:
// whoever unmounts after it must wait for its end, not for the signal. Static, so that it also
// runs chrooted into a new system that has nothing else.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

void endSlowly(int) {
    usleep(500000);
    _exit(1);
}

} // namespace

int main(int, char** argv) {
    prctl(PR_SET_NAME, "stalling");
    signal(SIGINT, endSlowly);
    signal(SIGTERM, endSlowly);
    std::printf("%s stalls\n", argv[0]);
    std::fflush(stdout);
    for (int second = 0; second < 120; ++second)
        sleep(1);
    return 0;
}
