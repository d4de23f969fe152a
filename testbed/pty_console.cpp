#include "testbed/pty_console.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

PtyConsole::PtyConsole() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        return;
    }
    std::fflush(stdout);
    savedIn_ = dup(0);
    savedOut_ = dup(1);
    dup2(slave, 0);
    dup2(slave, 1);
    master_ = master;
    slave_ = slave;
}

PtyConsole::~PtyConsole() {
    std::fflush(stdout);
    if (savedIn_ >= 0) {
        dup2(savedIn_, 0);
        close(savedIn_);
    }
    if (savedOut_ >= 0) {
        dup2(savedOut_, 1);
        close(savedOut_);
    }
    clearerr(stdin);
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

void PtyConsole::type(const std::string& keys) {
    if (write(master_, keys.data(), keys.size()) < 0) {
    }
}

std::string PtyConsole::output(double seconds, const std::string& until) {
    std::fflush(stdout);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    std::string text;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || (!until.empty() && text.find(until) != std::string::npos))
            break;
        pollfd fd{master_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left)) <= 0)
            continue;
        char buffer[1024];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    // A terminal turns each newline into CR LF on its way out.
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            plain += text[i];
    return plain;
}

void PtyConsole::hangUp() {
    // Standard input at end: a closed pipe reads as end of input, as a console that is gone.
    int ends[2];
    if (pipe(ends) == 0) {
        close(ends[1]);
        dup2(ends[0], 0);
        close(ends[0]);
    }
}
