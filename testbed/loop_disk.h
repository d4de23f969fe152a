#pragma once
// A disk image attached to a free loop device for the length of one sandbox run. The device is
// attached with auto-clear, so the kernel detaches it as soon as the last user lets go of it,
// even when this process dies without cleaning up.
#include <string>
#include <sys/types.h>

class LoopDisk {
public:
    LoopDisk() = default;
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;
    LoopDisk(LoopDisk&& other) noexcept;
    LoopDisk& operator=(LoopDisk&& other) noexcept;
    ~LoopDisk() { detach(); }

    // Attaches image read-write (or read-only) with partition scanning on. False with error().
    bool attach(const std::string& image, bool readOnly = false, off_t offset = 0);
    // Lets go of the device and waits up to timeoutMs for the kernel to detach it. False when it
    // is still attached then (a mount still holds it).
    bool detach(int timeoutMs = 10000);

    bool attached() const { return fd_ >= 0; }
    int number() const { return number_; }
    std::string devicePath() const { return "/dev/loop" + std::to_string(number_); }
    dev_t deviceNumber() const { return rdev_; }
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    int number_ = -1;
    dev_t rdev_ = 0;
    std::string backing_;
    std::string error_;
};

// True while /dev/loop<number> is backed by the file backingFile (an absolute, resolved path).
bool loopDeviceBackedBy(int number, const std::string& backingFile);
