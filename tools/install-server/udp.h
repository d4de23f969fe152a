// The server's one UDP socket: port 5000 on every interface (or one), told on which interface
// each datagram came in, and broadcasting each reply out of that interface.
#pragma once

#include "tools/install-server/wire.h"

#include <string>

namespace iserver {

// A non-blocking broadcast socket bound to port 5000; bound to `interface` when not empty.
// -1 with `error` set on failure.
int openProtocolSocket(const std::string& interface, std::string& error);

// One datagram without blocking: its size, or -1 when none is waiting. `interface` gets the
// index of the interface it came in on, `fromPort` its UDP source port.
long receiveDatagram(int socket, uint8_t* data, size_t capacity, int& interface, int& fromPort);

// Sends to 255.255.255.255:5000 out of the interface of that index; false on failure.
bool sendBroadcast(int socket, const uint8_t* data, size_t size, int interface);

// The hardware address of the interface of that index; false when it has none.
bool interfaceAddress(int socket, int interface, Mac& mac, std::string& name);

} // namespace iserver
