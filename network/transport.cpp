#include "network/transport.h"

#include "network/transport_clock.h"
#include "package/owned_handles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace installer {

namespace {

constexpr int scanEvery = 60;
constexpr int helperProtocol = 250;

// A request structure naming one interface.
ifreq interfaceRequest(const std::string& name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

bool readHardwareAddress(int helper, const std::string& name, HardwareAddress& address) {
    ifreq request = interfaceRequest(name);
    if (ioctl(helper, SIOCGIFHWADDR, &request) < 0)
        return false;
    std::memcpy(address.data(), request.ifr_hwaddr.sa_data, address.size());
    return true;
}

sockaddr_in ipv4Address(in_addr_t address, uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = htonl(address);
    socketAddress.sin_port = htons(port);
    return socketAddress;
}

bool enableBroadcast(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool makeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool bindToDevice(int fd, const std::string& name) {
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                      static_cast<socklen_t>(name.size() + 1)) == 0;
}

// Up, running and promiscuous: the server's datagrams are addressed by hardware address in
// our own header, not by the card's.
bool bringUp(int fd, const std::string& name) {
    ifreq request = interfaceRequest(name);
    if (ioctl(fd, SIOCGIFFLAGS, &request) < 0)
        return false;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING | IFF_PROMISC);
    return ioctl(fd, SIOCSIFFLAGS, &request) == 0;
}

// A broadcast socket needs an IPv4 address on its interface; 0.0.0.0 will do.
bool ensureAddress(int fd, const std::string& name) {
    ifreq request = interfaceRequest(name);
    if (ioctl(fd, SIOCGIFADDR, &request) == 0)
        return true;
    request = interfaceRequest(name);
    sockaddr_in any = ipv4Address(INADDR_ANY, 0);
    std::memcpy(&request.ifr_addr, &any, sizeof any);
    return ioctl(fd, SIOCSIFADDR, &request) == 0;
}

bool bindToPort(int fd) {
    sockaddr_in local = ipv4Address(INADDR_ANY, protocolPort);
    return bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

std::unique_ptr<NetInterface> openInterface(const std::string& name,
                                            const HardwareAddress& address) {
    auto interface = std::make_unique<NetInterface>();
    interface->name = name;
    interface->hardwareAddress = address;
    interface->socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    int fd = interface->socket;
    if (fd < 0 || !enableBroadcast(fd) || !makeNonBlocking(fd) || !bindToDevice(fd, name) ||
        !bringUp(fd, name) || !ensureAddress(fd, name) || !bindToPort(fd))
        return nullptr;
    interface->destination = ipv4Address(INADDR_BROADCAST, protocolPort);
    return interface;
}

// The interface name of one /proc/net/dev line: its first token up to the ':'.
std::string interfaceName(const char* line) {
    char token[256] = {};
    if (std::sscanf(line, "%255s", token) != 1)
        return {};
    std::string name(token);
    name = name.substr(0, name.find(':'));
    return name.substr(0, 16);
}

int countLines(FILE* file) {
    char line[256];
    int count = 0;
    while (std::fgets(line, sizeof line, file))
        ++count;
    return count;
}

// Adds every socket to the set; the highest descriptor.
int fillSet(const NetLink& link, fd_set& set) {
    FD_ZERO(&set);
    int highest = -1;
    for (const auto& interface : link.interfaces) {
        FD_SET(interface->socket, &set);
        highest = std::max(highest, interface->socket);
    }
    return highest;
}

// Reads what is queued on one interface; true when it held the wanted first reply.
bool drainForReply(NetLink& link, size_t index, Packet& packet, std::string_view word) {
    NetInterface& interface = *link.interfaces[index];
    for (;;) {
        link.peer.reset();
        link.peer.ownAddress = interface.hardwareAddress;
        long size = receivePacket(interface, packet);
        if (size < 0)
            return false;
        if (!acceptPacket(link.peer, packet, size))
            continue;
        if (isZeroAddress(packet.destination()) || packet.payloadLength() == 0)
            continue;
        if (!packet.payloadBeginsWith(word))
            continue;
        link.selected = static_cast<int>(index);
        link.peer.peerAddress = packet.source();
        return true;
    }
}

} // namespace

NetInterface::~NetInterface() {
    if (socket > 0)
        ::close(socket);
}

void scanInterfaces(NetLink& link) {
    link.interfaces.clear();
    link.selected = -1;
    OwnedFile file(std::fopen("/proc/net/dev", "r"));
    if (!file)
        return;
    int lines = countLines(file.get());
    OwnedDescriptor helper(::socket(AF_INET, SOCK_RAW, helperProtocol));
    if (helper.get() < 0)
        return;
    std::rewind(file.get());
    char line[256];
    std::vector<std::unique_ptr<NetInterface>> table;
    table.reserve(static_cast<size_t>(std::max(lines - 2, 0)));
    bool failed = false;
    for (int n = 0; std::fgets(line, sizeof line, file.get()); ++n) {
        if (n < 2)
            continue;
        std::string name = interfaceName(line);
        if (name.empty())
            continue;
        HardwareAddress address;
        if (!readHardwareAddress(helper.get(), name, address)) {
            failed = true;
            break;
        }
        if (isZeroAddress(address))
            continue;
        if (auto interface = openInterface(name, address))
            table.push_back(std::move(interface));
    }
    if (!failed)
        link.interfaces = std::move(table);
}

long sendPacket(NetInterface& interface, const Packet& packet, size_t size) {
    return ::sendto(interface.socket, packet.bytes, size, 0,
                    reinterpret_cast<const sockaddr*>(&interface.destination),
                    sizeof interface.destination);
}

long receivePacket(NetInterface& interface, Packet& packet) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    long size = ::recvfrom(interface.socket, packet.bytes, sizeof packet.bytes, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (size < 0)
        return -1;
    interface.lastSource = from;
    if (from.sin_family != AF_INET || ntohs(from.sin_port) != protocolPort)
        return -1;
    return size;
}

bool broadcast(NetLink& link, Packet& packet, size_t payloadLength) {
    if (++link.broadcastCount >= scanEvery) {
        link.transfer.reset(); // it points into the table that goes now
        scanInterfaces(link);
        link.broadcastCount = 0;
    }
    link.window = {1, 0};
    link.selected = -1;
    link.peer.reset();
    for (auto& interface : link.interfaces) {
        link.peer.ownAddress = interface->hardwareAddress;
        buildHeader(link.peer, packet, payloadLength);
        link.peer.sent = 0;
        link.peer.received = 0;
        if (sendPacket(*interface, packet, payloadLength + headerSize) < 0)
            return false;
    }
    return true;
}

bool awaitReply(NetLink& link, Packet& packet, std::string_view word) {
    for (;;) {
        fd_set readable;
        int highest = fillSet(link, readable);
        // Linux lowers the window by the time spent: every wait after one broadcast shares it.
        int ready = transportClock().waitReadable(highest + 1, readable, link.window);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        for (size_t index = 0; index < link.interfaces.size(); ++index) {
            if (FD_ISSET(link.interfaces[index]->socket, &readable) &&
                drainForReply(link, index, packet, word))
                return true;
        }
        // Then wait again on every interface: a reply may still come on one that was quiet.
    }
}

long exchange(NetInterface& interface, NetPeer& peer, const Packet& request, Packet& reply,
              int64_t timeoutMicros, int tries) {
    size_t size = request.payloadLength() + headerSize;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (sendPacket(interface, request, size) != static_cast<long>(size))
            return -1;
        int64_t deadline = nowMicros() + timeoutMicros;
        for (;;) {
            int64_t left = std::max<int64_t>(deadline - nowMicros(), 0);
            timeval limit{static_cast<time_t>(left / 1000000),
                          static_cast<suseconds_t>(left % 1000000)};
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(interface.socket, &readable);
            int ready = transportClock().waitReadable(interface.socket + 1, readable, limit);
            if (ready > 0) {
                long got = receivePacket(interface, reply);
                if (got >= 0 && acceptPacket(peer, reply, got))
                    return got;
            }
            if (nowMicros() >= deadline)
                break;
        }
    }
    return -1;
}

namespace {

class RealClock final : public TransportClock {
public:
    int64_t nowMicros() override {
        timeval now;
        if (gettimeofday(&now, nullptr) != 0)
            return 0;
        return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
    }
    int waitReadable(int count, fd_set& readable, timeval& limit) override {
        return ::select(count, &readable, nullptr, nullptr, &limit);
    }
};

RealClock realClock;
TransportClock* clockInUse = &realClock;

} // namespace

TransportClock& transportClock() {
    return *clockInUse;
}

void useTransportClock(TransportClock* standIn) {
    clockInUse = standIn ? standIn : &realClock;
}

int64_t nowMicros() {
    return clockInUse->nowMicros();
}

} // namespace installer
