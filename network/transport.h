// The datagram transport of the network installation: one UDP socket per usable network
// interface, every datagram a broadcast to port 5000 whose header (network/packet.h) says who
// it is for. Single-threaded; all sockets are non-blocking and every wait is a select with a
// time limit, made through the clock in use (network/transport_clock.h).
#pragma once

#include "network/packet.h"

#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/time.h>
#include <vector>

namespace installer {

struct NetInterface {
    NetInterface() = default;
    ~NetInterface(); // closes the socket
    NetInterface(const NetInterface&) = delete;
    NetInterface& operator=(const NetInterface&) = delete;

    std::string name;
    HardwareAddress hardwareAddress{};
    int socket = -1;
    sockaddr_in destination{}; // 255.255.255.255:5000
    sockaddr_in lastSource{};  // where the last datagram on this socket came from
};

// The file being received from the server (filled by the protocol flow).
struct FileTransfer {
    std::string name; // at most 80 characters
    int32_t size = 0; // as announced; never used to end the file
    size_t blockLength = 0;
    size_t position = 0;
    Packet block{};
    NetInterface* interface = nullptr;
    NetPeer* peer = nullptr;
};

// The network side of one installation run.
struct NetLink {
    std::vector<std::unique_ptr<NetInterface>> interfaces; // in /proc/net/dev order
    int selected = -1;
    NetPeer peer;
    std::unique_ptr<FileTransfer> transfer;
    int broadcastCount = 0; // broadcasts since the last scan
    timeval window{0, 0};   // shared by the waits that follow one broadcast

    NetInterface* selectedInterface() {
        return selected < 0 ? nullptr : interfaces[static_cast<size_t>(selected)].get();
    }
};

// Builds the interface table from /proc/net/dev: every interface with a hardware address,
// brought up (promiscuous), with a broadcast socket bound to it and to port 5000. Empty when
// the file, the helper socket or a hardware-address request fails.
void scanInterfaces(NetLink& link);

// Bytes sent, or negative.
long sendPacket(NetInterface& interface, const Packet& packet, size_t size);
// One datagram without blocking: its size, or -1 when there is none, on error, or when it did
// not come from port 5000.
long receivePacket(NetInterface& interface, Packet& packet);

// Sends the composed request (payload already in place) on every interface as the first
// message of a new conversation; opens the one-second window of the waits that follow. Every
// 60th broadcast rescans the interfaces first. False when a send fails.
bool broadcast(NetLink& link, Packet& packet, size_t payloadLength);

// Waits within the link's window for a first reply, addressed to us, whose payload begins with
// `word`, on any interface. True with the reply in `packet`, the interface selected and the
// server chosen; false when the window ran out.
bool awaitReply(NetLink& link, Packet& packet, std::string_view word);

// Sends the request and waits up to `timeoutMicros` for the next message from the peer, `tries`
// times, each time resending the very same datagram. Size of the accepted reply, or -1.
long exchange(NetInterface& interface, NetPeer& peer, const Packet& request, Packet& reply,
              int64_t timeoutMicros, int tries);

// Microseconds on the clock in use (network/transport_clock.h): the wall clock, unless a test
// put a virtual one in place; 0 when the clock cannot be read.
int64_t nowMicros();

} // namespace installer
