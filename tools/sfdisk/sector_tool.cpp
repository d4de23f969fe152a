#include "tools/sfdisk/sector_tool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

namespace sfdisk {

namespace {

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void readAll(int fd, std::string& text) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        text.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

int runSectorTool(std::initializer_list<const char*> args, const std::string* input,
                  std::string* output) {
    std::vector<const char*> argv{sectorToolPath};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return -1;
    }
    pid_t child = fork();
    if (child == 0) {
        dup2(toChild[0], 0);
        if (output)
            dup2(fromChild[1], 1);
        execv(sectorToolPath, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    // A tool that stops reading early must not take this one down with it.
    std::signal(SIGPIPE, SIG_IGN);
    if (child > 0 && input)
        writeAll(toChild[1], *input);
    close(toChild[1]);
    if (child > 0 && output)
        readAll(fromChild[0], *output);
    close(fromChild[0]);
    if (child < 0)
        return -1;
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (!WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
}

} // namespace sfdisk
