#include "testbed/virtual_clock.h"

VirtualClock::VirtualClock() {
    installer::useTransportClock(this);
}

VirtualClock::~VirtualClock() {
    installer::useTransportClock(nullptr);
}

int VirtualClock::waitReadable(int count, fd_set& readable, timeval& limit) {
    int64_t asked = int64_t(limit.tv_sec) * 1000000 + limit.tv_usec;
    waits.push_back(asked);
    timeval grace{0, 20000};
    int ready = ::select(count, &readable, nullptr, nullptr, &grace);
    if (ready != 0)
        return ready;
    FD_ZERO(&readable);
    micros += asked;
    limit = {0, 0};
    return 0;
}
