#pragma once
// A stand-in for the transport's clock (network/transport_clock.h): time stands still until a
// wait runs out, and then jumps by the whole wait at once. A wait ends early, without time
// passing, when a descriptor is readable within a short real grace (datagrams already on their
// way through a veth pair). Every wait's limit is written down. While it lives it is the clock
// in use; its end puts the real one back.
#include "network/transport_clock.h"

#include <vector>

class VirtualClock : public installer::TransportClock {
public:
    VirtualClock();
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    int64_t micros = 1000000;   // the clock; not 0, which reads as a clock that failed
    std::vector<int64_t> waits; // the limit of every wait, in microseconds

    int64_t nowMicros() override { return micros; }
    int waitReadable(int count, fd_set& readable, timeval& limit) override;
};
