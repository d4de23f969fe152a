// The server's one UDP socket: port 5000 on every interface (or one), told on which interface
// each datagram came in, and broadcasting each reply out of that interface.
#pragma once

#include "tools/install-server/wire.h"

#include <string>

namespace iserver {

// A non-blocking broadcast socket bound to port 5000; bound to `interface` when not empty.
// -1 with `error` set on failure.
int openProtocolSocket(const std::string& interface, std::string& error);

// One datagram of a batch; `size` is its real size even when larger than the buffer.
struct Received {
    uint8_t data[maxDatagram + 1];
    long size = 0;
    int interface = 0, fromPort = 0;
};

// Up to `count` datagrams that are waiting, in one call and without blocking; how many (0 when
// none). Fewer than `count` means the queue is empty for now.
int receiveBatch(int socket, Received* batch, int count);

// Sends to 255.255.255.255:5000 out of the interface of that index; false on failure.
bool sendBroadcast(int socket, const uint8_t* data, size_t size, int interface);

// The hardware address of the interface of that index; false when it has none.
bool interfaceAddress(int socket, int interface, Mac& mac, std::string& name);

} // namespace iserver
