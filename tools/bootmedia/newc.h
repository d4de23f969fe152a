#pragma once
// The boot image's container: a gzip'd "newc" cpio archive, the form the kernel unpacks into
// its initial root. Entries are written straight from the host files, never staged in a
// directory, so device nodes need no privileges and nothing of the host's ownership leaks in
// (every entry belongs to root).
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>
#include <zlib.h>

namespace bootmedia {

class NewcWriter {
public:
    ~NewcWriter();
    bool open(const std::string& path);
    bool directory(const std::string& name, mode_t mode);
    // Streams the host file (its permission bits unless mode is given).
    bool file(const std::string& name, const std::string& hostPath, mode_t mode = 0);
    bool text(const std::string& name, const std::string& contents, mode_t mode);
    bool symlink(const std::string& name, const std::string& target);
    bool device(const std::string& name, bool block, unsigned major, unsigned minor, mode_t mode);
    // Writes the trailer and closes; false when anything on the way failed.
    bool finish();
    const std::string& error() const { return error_; }

private:
    bool header(const std::string& name, uint32_t mode, uint32_t size, unsigned rdevMajor = 0,
                unsigned rdevMinor = 0);
    bool put(const void* data, size_t size);
    bool pad();
    gzFile out_ = nullptr;
    uint64_t offset_ = 0;
    uint32_t inode_ = 1;
    std::string error_;
};

struct NewcEntry {
    std::string name;
    uint32_t mode = 0;
    unsigned rdevMajor = 0, rdevMinor = 0;
    std::string data; // file contents or link target
};

// Reads a gzip'd (or plain) newc archive; false with a message on a damaged one.
bool readNewc(const std::string& path, std::vector<NewcEntry>& entries, std::string& error);

} // namespace bootmedia
