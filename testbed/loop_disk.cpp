#include "testbed/loop_disk.h"
#include "testbed/support/system_error.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

bool configureLoop(int loopFd, int imageFd, bool readOnly, off_t offset) {
    loop_config config{};
    config.fd = static_cast<__u32>(imageFd);
    config.info.lo_offset = static_cast<__u64>(offset);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (offset == 0 ? LO_FLAGS_PARTSCAN : 0) |
                           (readOnly ? LO_FLAGS_READ_ONLY : 0);
    return ioctl(loopFd, LOOP_CONFIGURE, &config) == 0;
}

} // namespace

LoopDisk::LoopDisk(LoopDisk&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), number_(std::exchange(other.number_, -1)),
      rdev_(other.rdev_), backing_(std::move(other.backing_)), error_(std::move(other.error_)) {}

LoopDisk& LoopDisk::operator=(LoopDisk&& other) noexcept {
    if (this != &other) {
        detach();
        fd_ = std::exchange(other.fd_, -1);
        number_ = std::exchange(other.number_, -1);
        rdev_ = other.rdev_;
        backing_ = std::move(other.backing_);
        error_ = std::move(other.error_);
    }
    return *this;
}

bool LoopDisk::attach(const std::string& image, bool readOnly, off_t offset) {
    detach();
    char resolved[PATH_MAX];
    if (!realpath(image.c_str(), resolved)) {
        error_ = systemError("realpath " + image);
        return false;
    }
    backing_ = resolved;
    int imageFd = open(image.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (imageFd < 0) {
        error_ = systemError("open " + image);
        return false;
    }
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        error_ = systemError("open /dev/loop-control");
        close(imageFd);
        return false;
    }
    // Other people on this machine grab loop devices too: a device that was free a moment ago
    // may be taken by the time it is configured, so ask again.
    bool done = false;
    for (int attempt = 0; attempt < 50 && !done; ++attempt) {
        int n = ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0) {
            error_ = systemError("LOOP_CTL_GET_FREE");
            break;
        }
        std::string path = "/dev/loop" + std::to_string(n);
        int loopFd = open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        if (loopFd < 0) {
            error_ = systemError("open " + path);
            usleep(20000);
            continue;
        }
        if (!configureLoop(loopFd, imageFd, readOnly, offset)) {
            error_ = systemError("LOOP_CONFIGURE " + path);
            close(loopFd);
            if (errno == EBUSY)
                continue;
            break;
        }
        struct stat st {};
        fstat(loopFd, &st);
        fd_ = loopFd;
        number_ = n;
        rdev_ = st.st_rdev;
        error_.clear();
        done = true;
    }
    close(control);
    close(imageFd); // the loop device holds its own reference to the image
    return done;
}

bool loopDeviceBackedBy(int number, const std::string& backingFile) {
    std::string path = "/sys/block/loop" + std::to_string(number) + "/loop/backing_file";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (n <= 0)
        return false;
    std::string text(buffer, static_cast<size_t>(n));
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text == backingFile;
}

bool LoopDisk::detach(int timeoutMs) {
    if (fd_ < 0)
        return true;
    // Clearing asks the kernel to detach now, or at the last close when the device is busy.
    ioctl(fd_, LOOP_CLR_FD, 0);
    close(fd_);
    fd_ = -1;
    int n = number_;
    for (int waited = 0; loopDeviceBackedBy(n, backing_); waited += 10) {
        if (waited >= timeoutMs) {
            error_ = "/dev/loop" + std::to_string(n) + " is still attached";
            return false;
        }
        usleep(10000);
    }
    return true;
}
