#include "tools/rpx/output_file.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace rpx {

OutputFile::OutputFile(const std::string& path)
    : path(path), temporary(path + ".part" + std::to_string(getpid())) {}

OutputFile::~OutputFile() {
    if (file) {
        std::fclose(file);
        std::remove(temporary.c_str());
    }
}

bool OutputFile::open(std::string& error) {
    file = std::fopen(temporary.c_str(), "w+b");
    if (!file)
        error = temporary + ": " + std::strerror(errno);
    return file != nullptr;
}

bool OutputFile::write(const void* data, size_t size) {
    if (!file || failed)
        return false;
    if (size && std::fwrite(data, 1, size, file) != size)
        failed = true;
    return !failed;
}

bool OutputFile::write(const std::string& bytes) {
    return write(bytes.data(), bytes.size());
}

bool OutputFile::copyFrom(std::FILE* in, uint64_t size) {
    char buffer[65536];
    while (size > 0) {
        size_t want = size < sizeof buffer ? size_t(size) : sizeof buffer;
        size_t got = std::fread(buffer, 1, want, in);
        if (got == 0 || !write(buffer, got))
            return false;
        size -= got;
    }
    return true;
}

bool OutputFile::commit(std::string& error) {
    if (!file || failed || std::fflush(file) != 0 || std::ferror(file)) {
        error = path + ": cannot write: " + std::strerror(errno);
        return false;
    }
    int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": cannot write: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool hostFileSize(const std::string& path, uint64_t& size, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    size = uint64_t(st.st_size);
    return true;
}

bool copyHostFile(const std::string& path, uint64_t size, OutputFile& out, std::string& error) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = out.copyFrom(in, size);
    if (!ok)
        error = path + ": changed while being read, or cannot write the output";
    std::fclose(in);
    return ok;
}

} // namespace rpx
