// The installer's file reception on its own: discovery, STRT and then every block of the
// files the server offers, through the same FileTransfer code the installation uses and into a
// pipe read by a child that discards it (where the package installer would sit). Prints the
// bytes received, the seconds and the rate. Run it inside a network namespace of your own.
#include "network/file_transfer.h"
#include "network/network_install.h"
#include "network/transport.h"

#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

using namespace installer;

int main() {
    NetLink link;
    scanInterfaces(link);
    if (link.interfaces.empty()) {
        std::fprintf(stderr, "no interface\n");
        return 1;
    }
    bool keep = false;
    discoverServer(link, "", "", "bench", keep);
    Packet request, reply;
    composeDatagram(link.peer, request, "STRT");
    if (exchange(*link.selectedInterface(), link.peer, request, reply, 1000000, 5) < 0) {
        std::fprintf(stderr, "no answer to STRT\n");
        return 1;
    }
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    pid_t child = fork();
    if (child == 0) {
        close(fds[1]);
        char sink[65536];
        while (read(fds[0], sink, sizeof sink) > 0) {
        }
        _exit(0);
    }
    close(fds[0]);
    uint64_t total = 0;
    int64_t start = nowMicros();
    for (;;) {
        FileTransfer& transfer = startTransfer(link);
        if (nextFile(transfer) != NextFile::announced)
            break;
        unsigned char buffer[packetSize];
        long n;
        while ((n = readFileData(transfer, buffer, sizeof buffer)) > 0) {
            if (write(fds[1], buffer, static_cast<size_t>(n)) != n)
                return 1;
            total += static_cast<uint64_t>(n);
        }
        if (n < 0) {
            std::fprintf(stderr, "bad network connection\n");
            return 1;
        }
    }
    double seconds = (nowMicros() - start) / 1e6;
    close(fds[1]);
    waitpid(child, nullptr, 0);
    std::printf("%llu bytes in %.2f s: %.1f MB/s\n", static_cast<unsigned long long>(total),
                seconds, total / seconds / 1e6);
    return 0;
}
