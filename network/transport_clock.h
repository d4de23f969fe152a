// The transport's time: the clock its resend deadlines are measured on and the waits for
// datagrams. Every wait goes through the one clock in use: the real one, unless a test has put
// a virtual clock in its place (testbed/virtual_clock.h), so that the one-second windows and
// the resend waits are checked exactly and without waiting.
#pragma once

#include <cstdint>
#include <sys/select.h>

namespace installer {

class TransportClock {
public:
    virtual ~TransportClock() = default;
    // Microseconds on this clock, 0 when it cannot be read.
    virtual int64_t nowMicros() = 0;
    // select() for readability on the descriptors in `readable` below `count`, for at most
    // `limit`; `limit` comes back lowered by the time spent, as Linux does.
    virtual int waitReadable(int count, fd_set& readable, timeval& limit) = 0;
};

// The clock in use.
TransportClock& transportClock();
// Puts standIn in place of the real clock; null puts the real clock back.
void useTransportClock(TransportClock* standIn);

} // namespace installer
