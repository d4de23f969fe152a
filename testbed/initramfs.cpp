#include "testbed/initramfs.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

InitramfsWriter::InitramfsWriter(const std::string& path, bool append) {
    file_ = gzopen(path.c_str(), append ? "ab9" : "wb9");
}

InitramfsWriter::~InitramfsWriter() {
    close();
}

void InitramfsWriter::pad(size_t written) {
    static const char zeros[4] = {};
    size_t extra = (4 - written % 4) % 4;
    if (extra && gzwrite(file_, zeros, static_cast<unsigned>(extra)) != static_cast<int>(extra))
        ok_ = false;
}

void InitramfsWriter::entry(const std::string& path, uint32_t mode, const std::string& data,
                            unsigned major, unsigned minor) {
    if (!file_)
        return;
    // Paths in the archive are relative to the root.
    std::string name = path.substr(path.find_first_not_of('/'));
    char header[111];
    std::snprintf(header, sizeof header,
                  "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08zX%08X", inode_++, mode, 0u,
                  0u, 1u, 0u, static_cast<unsigned>(data.size()), 0u, 0u, major, minor,
                  name.size() + 1, 0u);
    if (gzwrite(file_, header, 110) != 110 ||
        gzwrite(file_, name.c_str(), static_cast<unsigned>(name.size() + 1)) !=
            static_cast<int>(name.size() + 1))
        ok_ = false;
    pad(110 + name.size() + 1);
    if (!data.empty() && gzwrite(file_, data.data(), static_cast<unsigned>(data.size())) !=
                             static_cast<int>(data.size()))
        ok_ = false;
    pad(data.size());
}

void InitramfsWriter::directory(const std::string& path, unsigned mode) {
    entry(path, S_IFDIR | mode, "", 0, 0);
}

void InitramfsWriter::file(const std::string& path, const std::string& contents, unsigned mode) {
    entry(path, S_IFREG | mode, contents, 0, 0);
}

void InitramfsWriter::hostFile(const std::string& path, const std::string& hostPath,
                               unsigned mode) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) {
        ok_ = false;
        return;
    }
    std::stringstream contents;
    contents << in.rdbuf();
    file(path, contents.str(), mode);
}

void InitramfsWriter::characterDevice(const std::string& path, unsigned major, unsigned minor) {
    entry(path, S_IFCHR | 0600, "", major, minor);
}

void InitramfsWriter::blockDevice(const std::string& path, unsigned major, unsigned minor) {
    entry(path, S_IFBLK | 0600, "", major, minor);
}

void InitramfsWriter::symlink(const std::string& path, const std::string& target) {
    entry(path, S_IFLNK | 0777, target, 0, 0);
}

bool InitramfsWriter::close() {
    if (!file_)
        return false;
    entry("TRAILER!!!", 0, "", 0, 0);
    bool done = gzclose(file_) == Z_OK && ok_;
    file_ = nullptr;
    return done;
}
