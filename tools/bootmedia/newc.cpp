#include "tools/bootmedia/newc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bootmedia {

namespace {

constexpr size_t headerSize = 110;
constexpr const char* trailerName = "TRAILER!!!";

// Entry names carry no leading slash: the kernel unpacks them relative to its root.
std::string entryName(const std::string& name) {
    size_t start = name.find_first_not_of('/');
    return start == std::string::npos ? "." : name.substr(start);
}

} // namespace

NewcWriter::~NewcWriter() {
    if (out_)
        gzclose(out_);
}

bool NewcWriter::open(const std::string& path) {
    out_ = gzopen(path.c_str(), "wb6");
    if (!out_) {
        error_ = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool NewcWriter::put(const void* data, size_t size) {
    if (!error_.empty())
        return false;
    if (size == 0)
        return true;
    if (gzwrite(out_, data, static_cast<unsigned>(size)) != static_cast<int>(size)) {
        error_ = "writing the boot image failed";
        return false;
    }
    offset_ += size;
    return true;
}

bool NewcWriter::pad() {
    static const char zeros[4] = {};
    return put(zeros, (4 - offset_ % 4) % 4);
}

bool NewcWriter::header(const std::string& name, uint32_t mode, uint32_t size, unsigned rdevMajor,
                        unsigned rdevMinor) {
    if (!out_) {
        error_ = "the boot image is not open";
        return false;
    }
    std::string stored = name == trailerName ? name : entryName(name);
    char text[headerSize + 1];
    std::snprintf(text, sizeof text, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X",
                  inode_++, mode, 0u, 0u, 1u, 0u, size, 0u, 0u, rdevMajor, rdevMinor,
                  static_cast<unsigned>(stored.size() + 1), 0u);
    return put(text, headerSize) && put(stored.c_str(), stored.size() + 1) && pad();
}

bool NewcWriter::directory(const std::string& name, mode_t mode) {
    return header(name, S_IFDIR | (mode & 07777), 0);
}

bool NewcWriter::text(const std::string& name, const std::string& contents, mode_t mode) {
    return header(name, S_IFREG | (mode & 07777), static_cast<uint32_t>(contents.size())) &&
           put(contents.data(), contents.size()) && pad();
}

bool NewcWriter::symlink(const std::string& name, const std::string& target) {
    return header(name, S_IFLNK | 0777, static_cast<uint32_t>(target.size())) &&
           put(target.data(), target.size()) && pad();
}

bool NewcWriter::device(const std::string& name, bool block, unsigned major, unsigned minor,
                        mode_t mode) {
    return header(name, (block ? S_IFBLK : S_IFCHR) | (mode & 07777), 0, major, minor);
}

bool NewcWriter::file(const std::string& name, const std::string& hostPath, mode_t mode) {
    int in = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 0xFFFFFFFFll) {
        error_ = hostPath + ": " + (in < 0 ? std::strerror(errno) : "not a regular file");
        if (in >= 0)
            ::close(in);
        return false;
    }
    uint32_t size = static_cast<uint32_t>(st.st_size);
    bool ok = header(name, S_IFREG | (mode ? mode & 07777 : st.st_mode & 07777), size);
    char buffer[65536];
    uint64_t copied = 0;
    while (ok && copied < size) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n <= 0) {
            error_ = hostPath + ": " + (n < 0 ? std::strerror(errno) : "shrank while read");
            ok = false;
            break;
        }
        size_t take = std::min<uint64_t>(static_cast<uint64_t>(n), size - copied);
        ok = put(buffer, take);
        copied += take;
    }
    ::close(in);
    return ok && pad();
}

bool NewcWriter::finish() {
    bool ok = header(trailerName, 0, 0);
    if (out_ && gzclose(out_) != Z_OK && ok) {
        error_ = "closing the boot image failed";
        ok = false;
    }
    out_ = nullptr;
    return ok;
}

namespace {

bool hexField(const char* text, uint32_t& value) {
    value = 0;
    for (int i = 0; i < 8; ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool readExactly(gzFile in, void* data, size_t size) {
    return size == 0 || gzread(in, data, static_cast<unsigned>(size)) == static_cast<int>(size);
}

bool skipPadding(gzFile in, uint64_t& offset) {
    char skip[4];
    size_t n = (4 - offset % 4) % 4;
    offset += n;
    return readExactly(in, skip, n);
}

} // namespace

bool readNewc(const std::string& path, std::vector<NewcEntry>& entries, std::string& error) {
    gzFile in = gzopen(path.c_str(), "rb");
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    uint64_t offset = 0;
    bool ok = false;
    for (;;) {
        char text[headerSize];
        uint32_t fields[13];
        if (!readExactly(in, text, headerSize) || std::memcmp(text, "070701", 6) != 0) {
            error = path + ": not a newc archive at offset " + std::to_string(offset);
            break;
        }
        bool parsed = true;
        for (int i = 0; i < 13; ++i)
            parsed = parsed && hexField(text + 6 + 8 * i, fields[i]);
        uint32_t nameSize = fields[11], size = fields[6];
        if (!parsed || nameSize == 0 || nameSize > 4096) {
            error = path + ": damaged header at offset " + std::to_string(offset);
            break;
        }
        offset += headerSize;
        std::string name(nameSize, '\0');
        if (!readExactly(in, name.data(), nameSize) || name.back() != '\0') {
            error = path + ": damaged name at offset " + std::to_string(offset);
            break;
        }
        name.pop_back();
        offset += nameSize;
        if (!skipPadding(in, offset))
            break;
        if (name == trailerName) {
            ok = true;
            break;
        }
        NewcEntry entry;
        entry.name = name;
        entry.mode = fields[1];
        entry.rdevMajor = fields[9];
        entry.rdevMinor = fields[10];
        entry.data.resize(size);
        if (!readExactly(in, entry.data.data(), size)) {
            error = path + ": " + name + " is cut short";
            break;
        }
        offset += size;
        if (!skipPadding(in, offset))
            break;
        entries.push_back(std::move(entry));
    }
    gzclose(in);
    if (!ok && error.empty())
        error = path + ": the archive ends early";
    return ok;
}

} // namespace bootmedia
