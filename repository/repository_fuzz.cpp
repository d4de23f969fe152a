// The package database loader on arbitrary directory contents below "/flash" and "/ram/pdb" of
// the fuzz scratch world (testbed/fuzz_support.h). Beyond crashes, loading must not change
// anything below "/flash": it reads the records, and only deletes the pending actions left in
// "/ram/pdb".
//
// Input: records of one byte of kind, one byte of path length, the path, two bytes of content
// length and the content. Kinds: a file below "/flash", a directory, a symbolic link (the
// content is its target), a file below "/ram/pdb". Paths are relative to those folders; ".."
// components and paths through links are left out, so that every run starts from the same
// world.
#include "package/record/record_relations.h"
#include "repository/repository.h"
#include "testbed/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace installer;

namespace {

std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (from <= path.size()) {
        size_t slash = std::min(path.find('/', from), path.size());
        std::string part(path.substr(from, slash - from));
        if (!part.empty() && part != ".")
            parts.push_back(part);
        from = slash + 1;
    }
    return parts;
}

// The directory holding the last component, made on the way without following links; -1 when
// the path cannot be made that way.
int parentOf(const char* top, const std::vector<std::string>& parts) {
    int fd = open(top, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; fd >= 0 && i + 1 < parts.size(); ++i) {
        mkdirat(fd, parts[i].c_str(), 0755);
        int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

void place(uint8_t kind, std::string_view path, std::string_view content) {
    std::vector<std::string> parts = components(path);
    for (const std::string& part : parts)
        if (part == ".." || part.find('\0') != std::string::npos)
            return;
    if (parts.empty())
        return;
    int dir = parentOf(kind == 3 ? "/ram/pdb" : "/flash", parts);
    if (dir < 0)
        return;
    const char* leaf = parts.back().c_str();
    if (kind == 1) {
        mkdirat(dir, leaf, 0755);
    } else if (kind == 2) {
        symlinkat(std::string(content).c_str(), dir, leaf);
    } else {
        int fd = openat(dir, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, content.data(), content.size()) < 0) {
            }
            close(fd);
        }
    }
    close(dir);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    while (!cursor.empty()) {
        uint8_t kind = cursor.byte() % 4;
        std::string_view path = cursor.bytes(cursor.byte());
        std::string_view content = cursor.bytes(cursor.u16());
        place(kind, path, content);
    }
    std::string flashBefore = fuzz::describeWorld("/ram");

    static std::FILE* console = std::fopen("/dev/null", "w");
    Repository repository;
    repository.setConsole(console);
    repository.loadDatabase(true);
    for (const auto& package : repository.packages) {
        if (package->name.empty() || package->name.find('/') != std::string::npos)
            std::abort();
        repository.candidates({package->name, 0, 0, 0}, true);
        for (const Requirement& wanted : package->depends)
            repository.candidates(wanted, false);
        repository.findConflicting(*package);
        repository.ownerOf(package->files.empty() ? "/" : *package->files.begin());
    }

    if (fuzz::describeWorld("/ram") != flashBefore) {
        std::fprintf(stderr, "loading the database changed the world outside /ram\n");
        std::abort();
    }
    fuzz::clearDirectory("/flash");
    fuzz::clearDirectory("/ram/pdb");
    return 0;
}
