/* The round trip the protocol itself allows: a 24-byte request broadcast one way, a 4096-byte
 * reply broadcast back, both on port 5001 of one interface, each side dropping what its own
 * host sent in the kernel as the install server does. "broadcast_pingpong serve IF" answers,
 * "broadcast_pingpong ping IF COUNT" prints the median and the mean round trip in microseconds
 * (the mean is what a run of COUNT exchanges takes per exchange). */
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static long long now(void) {
    struct timeval t;
    gettimeofday(&t, NULL);
    return (long long)t.tv_sec * 1000000 + t.tv_usec;
}

static int compare(const void* a, const void* b) {
    long long x = *(const long long*)a, y = *(const long long*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
    if (argc < 3 || (strcmp(argv[1], "serve") != 0 && strcmp(argv[1], "ping") != 0))
        return fprintf(stderr, "usage: broadcast_pingpong serve IF | ping IF COUNT\n"), 2;
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, argv[2], (socklen_t)strlen(argv[2]) + 1);
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, (unsigned)(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_LOOPBACK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),
    };
    struct sock_fprog program = {4, code};
    setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = htons(5001);
    if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0)
        return perror("bind"), 1;
    address.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    char buffer[4096];
    memset(buffer, 'p', sizeof buffer);
    if (strcmp(argv[1], "serve") == 0) {
        for (;;) {
            struct pollfd wait = {fd, POLLIN, 0};
            poll(&wait, 1, -1);
            if (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
                sendto(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&address, sizeof address);
        }
    }
    int count = argc > 3 ? atoi(argv[3]) : 5000, done = 0;
    long long* trips = calloc((size_t)count, sizeof *trips);
    for (int n = 0; n < count; ++n) {
        long long start = now();
        sendto(fd, buffer, 24, 0, (struct sockaddr*)&address, sizeof address);
        struct pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, 1000) == 1 && recv(fd, buffer, sizeof buffer, 0) == 4096)
            trips[done++] = now() - start;
    }
    qsort(trips, (size_t)done, sizeof *trips, compare);
    long long sum = 0;
    for (int n = 0; n < done; ++n)
        sum += trips[n];
    printf("%lld %.1f\n", done ? trips[done / 2] : -1LL, done ? (double)sum / done : -1.0);
    return done ? 0 : 1;
}
