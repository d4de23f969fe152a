#include "testbed/ext_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

uint32_t little32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Runs program with argv, collecting its standard output and standard error apart.
bool capture(const char* program, char* const* argv, std::string& out, std::string& err,
             int& status) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        execv(program, argv);
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

} // namespace

bool partitionExtent(const std::string& image, int number, uint64_t& offset, uint64_t& size) {
    if (number < 1 || number > 4)
        return false;
    unsigned char sector[512];
    int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = pread(fd, sector, sizeof sector, 0) == static_cast<ssize_t>(sizeof sector);
    close(fd);
    if (!ok || sector[510] != 0x55 || sector[511] != 0xaa)
        return false;
    const unsigned char* entry = sector + 446 + 16 * (number - 1);
    offset = static_cast<uint64_t>(little32(entry + 8)) * 512;
    size = static_cast<uint64_t>(little32(entry + 12)) * 512;
    return entry[4] != 0 && size != 0;
}

bool debugfsRequest(const std::string& image, uint64_t offset, const std::string& request,
                    std::string& output, std::string* error) {
    std::string device = image + "?offset=" + std::to_string(offset);
    std::string requestCopy = request;
    char arg0[] = "debugfs", arg1[] = "-R";
    char* argv[] = {arg0, arg1, requestCopy.data(), device.data(), nullptr};
    std::string err;
    int status = 0;
    output.clear();
    if (!capture("/sbin/debugfs", argv, output, err, status) || status != 0) {
        if (error)
            *error = "debugfs " + request + ": " + err;
        return false;
    }
    // debugfs answers with its banner on standard error; anything more is a complaint.
    size_t banner = err.find('\n');
    std::string complaint = banner == std::string::npos ? "" : err.substr(banner + 1);
    if (!complaint.empty()) {
        if (error)
            *error = complaint;
        return false;
    }
    return true;
}

bool readExtFile(const std::string& image, uint64_t offset, const std::string& path,
                 std::string& contents, std::string* error) {
    return debugfsRequest(image, offset, "cat \"" + path + "\"", contents, error);
}

bool partitionTableDump(const std::string& image, std::string& dump, std::string* error) {
    std::string imageCopy = image;
    char arg0[] = "sfdisk", arg1[] = "-d";
    char* argv[] = {arg0, arg1, imageCopy.data(), nullptr};
    std::string err;
    int status = 0;
    dump.clear();
    if (!capture("/sbin/sfdisk", argv, dump, err, status) || status != 0) {
        if (error)
            *error = "sfdisk -d " + image + ": " + err;
        return false;
    }
    return true;
}

bool extFileSystemClean(const std::string& image, uint64_t offset, std::string& report) {
    std::string device = image + "?offset=" + std::to_string(offset);
    // -f: a check even of a file system that says it is clean; -n: never a change.
    char arg0[] = "e2fsck", arg1[] = "-fn";
    char* argv[] = {arg0, arg1, device.data(), nullptr};
    std::string err;
    int status = 0;
    report.clear();
    bool ran = capture("/sbin/e2fsck", argv, report, err, status);
    report += err;
    return ran && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
