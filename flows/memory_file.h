#pragma once
// A whole file held in memory: the hard-disk installation reads everything it needs from the
// medium before the medium's own disk is repartitioned.
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace installer {

struct FreeBytes {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};

struct MemoryFile {
    uint32_t size = 0;
    uint32_t position = 0;                          // how much has been handed on
    std::unique_ptr<unsigned char, FreeBytes> data; // null when empty

    void release() {
        size = position = 0;
        data.reset();
    }
};

// Reads the whole regular file at path: its size from fstat, then reads until all of it is
// in. False (and the file left empty) when it cannot be opened, examined or held, is not a
// regular file, fails to read, or ends before its size.
bool readWholeFile(MemoryFile& file, const char* path);

} // namespace installer
