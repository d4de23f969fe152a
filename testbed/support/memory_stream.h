#pragma once
// A stream whose text is kept in memory: what a menu drew, what a console showed.
#include <cstdio>
#include <cstdlib>
#include <string>

class MemoryStream {
public:
    MemoryStream() { stream = open_memstream(&data, &size); }
    ~MemoryStream() {
        std::fclose(stream);
        std::free(data);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    std::string text() {
        std::fflush(stream);
        return std::string(data, size);
    }
    // Everything written since the last call.
    std::string take() {
        std::string fresh = text().substr(taken);
        taken = size;
        return fresh;
    }
    std::FILE* stream = nullptr;

private:
    char* data = nullptr;
    size_t size = 0, taken = 0;
};
