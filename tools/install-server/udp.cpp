#include "tools/install-server/udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace iserver {

int openProtocolSocket(const std::string& interface, std::string& error) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    auto option = [&](int level, int name, const void* value, socklen_t size, const char* what) {
        if (::setsockopt(fd, level, name, value, size) == 0)
            return true;
        error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    bool ok = option(SOL_SOCKET, SO_BROADCAST, &on, sizeof on, "SO_BROADCAST") &&
              option(IPPROTO_IP, IP_PKTINFO, &on, sizeof on, "IP_PKTINFO");
    // Hundreds of machines asking at once must not overflow the queues: room for about a
    // thousand datagrams each way (the kernel caps this at net.core.rmem_max / wmem_max).
    int room = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    // Every broadcast this host sends comes back to every socket of the port on it: our own
    // replies, 4 KB each. Dropped in the kernel they neither fill the queue nor wake the loop;
    // the check of the sender's address stays for kernels without the filter.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_LOOPBACK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),
    };
    sock_fprog program{uint16_t(sizeof code / sizeof code[0]), code};
    ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    if (ok && !interface.empty())
        ok = option(SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(), socklen_t(interface.size() + 1),
                    ("binding to " + interface).c_str());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(protocolPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (ok && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = std::string("port 5000: ") + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int receiveBatch(int socket, Received* batch, int count) {
    constexpr int most = 64;
    count = count < most ? count : most;
    sockaddr_in from[most];
    iovec io[most];
    alignas(cmsghdr) char control[most][CMSG_SPACE(sizeof(in_pktinfo))];
    mmsghdr messages[most] = {};
    for (int n = 0; n < count; ++n) {
        io[n] = {batch[n].data, sizeof batch[n].data};
        msghdr& m = messages[n].msg_hdr;
        m.msg_name = &from[n];
        m.msg_namelen = sizeof from[n];
        m.msg_iov = &io[n];
        m.msg_iovlen = 1;
        m.msg_control = control[n];
        m.msg_controllen = sizeof control[n];
    }
    int got = ::recvmmsg(socket, messages, unsigned(count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got <= 0)
        return 0;
    for (int n = 0; n < got; ++n) {
        Received& r = batch[n];
        r.size = long(messages[n].msg_len);
        r.interface = 0;
        msghdr& m = messages[n].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                r.interface = info.ipi_ifindex;
            }
        r.fromPort = ntohs(from[n].sin_port);
    }
    return got;
}

bool sendBroadcast(int socket, const uint8_t* data, size_t size, int interface) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(protocolPort);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    iovec io{const_cast<uint8_t*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = interface;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    for (;;) {
        ssize_t sent = ::sendmsg(socket, &message, 0);
        if (sent == ssize_t(size))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool interfaceAddress(int socket, int interface, Mac& mac, std::string& name) {
    ifreq request{};
    request.ifr_ifindex = interface;
    if (::ioctl(socket, SIOCGIFNAME, &request) != 0)
        return false;
    name = request.ifr_name;
    if (::ioctl(socket, SIOCGIFHWADDR, &request) != 0)
        return false;
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, 6);
    return !isZero(mac);
}

} // namespace iserver
