/* Round trip of one 4096-byte UDP datagram: "bench_pingpong serve PORT" echoes, "bench_pingpong
 * ping HOST PORT COUNT" sends COUNT datagrams one at a time and prints the median round trip in
 * µs (to a hundredth: a round trip on a veth pair is tens of µs, whole µs would blur the limit). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int compare(const void* a, const void* b) {
    long long x = *(const long long*)a, y = *(const long long*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
    char buffer[4096];
    memset(buffer, 'p', sizeof buffer);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    if (argc == 3 && strcmp(argv[1], "serve") == 0) {
        address.sin_port = htons((unsigned short)atoi(argv[2]));
        if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0)
            return perror("bind"), 1;
        for (;;) {
            struct sockaddr_in from;
            socklen_t length = sizeof from;
            ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&from, &length);
            if (got > 0)
                sendto(fd, buffer, (size_t)got, 0, (struct sockaddr*)&from, length);
        }
    }
    if (argc != 5 || strcmp(argv[1], "ping") != 0)
        return fprintf(stderr, "usage: bench_pingpong serve PORT | ping HOST PORT COUNT\n"), 2;
    address.sin_port = htons((unsigned short)atoi(argv[3]));
    inet_pton(AF_INET, argv[2], &address.sin_addr);
    int count = atoi(argv[4]);
    long long* trips = calloc((size_t)count, sizeof *trips);
    struct timeval limit = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    int done = 0;
    for (int n = 0; n < count; ++n) {
        long long start = now();
        sendto(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&address, sizeof address);
        if (recv(fd, buffer, sizeof buffer, 0) == (ssize_t)sizeof buffer)
            trips[done++] = now() - start;
    }
    qsort(trips, (size_t)done, sizeof *trips, compare);
    if (done)
        printf("%.2f\n", (double)trips[done / 2] / 1000);
    return done ? 0 : 1;
}
