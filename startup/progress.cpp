// The one-dot-per-second display of long steps, driven by the alarm signal. The alarm is asked
// of the system in use, so that a virtual clock can deliver it in tests.
#include "startup/console.h"

#include "startup/system_interface.h"

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
    currentSystem().scheduleAlarm(1);
    errno = saved;
}

} // namespace

void startProgress(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    setAlarmAction(printDot);
    currentSystem().scheduleAlarm(1);
}

void stopProgress() {
    std::putchar('\n');
    std::fflush(stdout);
    setAlarmAction(SIG_IGN);
}

void cancelProgress() {
    setAlarmAction(SIG_IGN);
    currentSystem().scheduleAlarm(0);
}

} // namespace installer
