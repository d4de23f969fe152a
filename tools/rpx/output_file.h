// A file written beside its final name and moved into place only when complete, so that a
// failed run never leaves a half-written package under the name the user asked for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace rpx {

class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile(); // removes the unfinished file
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(std::string& error);
    std::FILE* stream() { return file; }
    bool write(const std::string& bytes);
    bool write(const void* data, size_t size);
    // Copies exactly `size` bytes of `in`; false when it holds fewer.
    bool copyFrom(std::FILE* in, uint64_t size);
    // Flushes, closes and renames into place.
    bool commit(std::string& error);

private:
    std::string path, temporary;
    std::FILE* file = nullptr;
    bool failed = false;
};

// Copies a whole host file into out; `size` is what it must hold.
bool copyHostFile(const std::string& path, uint64_t size, OutputFile& out, std::string& error);
// Size of a regular host file; false with error otherwise.
bool hostFileSize(const std::string& path, uint64_t& size, std::string& error);

} // namespace rpx
