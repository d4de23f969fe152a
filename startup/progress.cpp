// The one-dot-per-second display of long steps, driven by the alarm signal.
#include "startup/console.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace installer {

namespace {

void setAlarmAction(void (*action)(int)) {
    struct sigaction alarmAction {};
    alarmAction.sa_handler = action;
    sigemptyset(&alarmAction.sa_mask);
    alarmAction.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &alarmAction, nullptr);
}

void printDot(int) {
    int saved = errno;
    if (write(1, ".", 1) < 0) {
    }
    setAlarmAction(printDot);
    alarm(1);
    errno = saved;
}

} // namespace

void startProgress(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    setAlarmAction(printDot);
    alarm(1);
}

void stopProgress() {
    std::putchar('\n');
    std::fflush(stdout);
    setAlarmAction(SIG_IGN);
}

void cancelProgress() {
    setAlarmAction(SIG_IGN);
    alarm(0);
}

} // namespace installer
