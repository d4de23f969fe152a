#pragma once
// Writes a gzip'd newc archive, the form the kernel unpacks into its first root file system.
// Tests use it to lay their own programs over a boot image: the kernel unpacks archives that
// follow one another in the same file in order, later entries replacing earlier ones, so a
// small archive appended to a copy of the media's boot image changes just what it names.
#include <cstdint>
#include <string>
#include <zlib.h>

class InitramfsWriter {
public:
    // Creates path, or appends a further archive to it.
    explicit InitramfsWriter(const std::string& path, bool append = false);
    ~InitramfsWriter();
    InitramfsWriter(const InitramfsWriter&) = delete;
    InitramfsWriter& operator=(const InitramfsWriter&) = delete;

    bool ok() const { return file_ != nullptr && ok_; }
    void directory(const std::string& path, unsigned mode = 0755);
    void file(const std::string& path, const std::string& contents, unsigned mode = 0644);
    // A file of this machine, copied in.
    void hostFile(const std::string& path, const std::string& hostPath, unsigned mode = 0755);
    void characterDevice(const std::string& path, unsigned major, unsigned minor);
    void blockDevice(const std::string& path, unsigned major, unsigned minor);
    void symlink(const std::string& path, const std::string& target);
    // Ends the archive; false if anything could not be written or read.
    bool close();

private:
    void entry(const std::string& path, uint32_t mode, const std::string& data, unsigned major,
               unsigned minor);
    void pad(size_t written);

    gzFile file_ = nullptr;
    bool ok_ = true;
    uint32_t inode_ = 1000;
};
