#include "tools/bootmedia/kernel.h"

#include "tools/bootmedia/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bootmedia {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> entriesOf(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

bool fill(const std::string& root, Kernel& kernel, std::string& error) {
    std::vector<std::string> releases = entriesOf(root + "/tree/lib/modules");
    if (releases.size() != 1) {
        error = root + ": expected one module directory, found " + std::to_string(releases.size());
        return false;
    }
    kernel.release = releases.front();
    kernel.moduleDir = root + "/tree/lib/modules/" + kernel.release;
    kernel.vmlinuz = root + "/tree/boot/vmlinuz-" + kernel.release;
    kernel.vmlinux = root + "/vmlinux";
    for (const std::string* path : {&kernel.vmlinuz, &kernel.vmlinux, &kernel.moduleDir})
        if (!exists(*path)) {
            error = *path + " is missing";
            return false;
        }
    return true;
}

bool removeTree(const std::string& path) {
    std::string ignored;
    return runProgram({"rm", "-rf", "--", path}, ignored);
}

struct Compression {
    const char* magic;
    size_t length;
    std::vector<std::string> command; // reads the stream on standard input of the file argument
};

} // namespace

bool extractVmlinux(const std::string& vmlinuz, const std::string& vmlinux, std::string& error) {
    std::ifstream in(vmlinuz, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.empty()) {
        error = vmlinuz + ": cannot be read";
        return false;
    }
    const Compression kinds[] = {
        {"\xfd"
         "7zXZ\0",
         6,
         {"xz", "-dcq", "--single-stream"}},
        {"\x28\xb5\x2f\xfd", 4, {"zstd", "-dcq"}},
        {"\x1f\x8b\x08", 3, {"gzip", "-dcq"}},
    };
    std::string tail = vmlinux + ".stream";
    for (const Compression& kind : kinds) {
        for (size_t at = image.find(kind.magic, 0, kind.length); at != std::string::npos;
             at = image.find(kind.magic, at + 1, kind.length)) {
            {
                std::ofstream out(tail, std::ios::binary | std::ios::trunc);
                out.write(image.data() + at, static_cast<std::streamsize>(image.size() - at));
                if (!out) {
                    error = tail + ": cannot be written";
                    return false;
                }
            }
            std::vector<std::string> command = kind.command;
            command.push_back(tail);
            std::string ignored;
            // Trailing bytes after the stream make some decompressors complain; the result
            // counts, not their status.
            runProgram(command, ignored, "", vmlinux);
            char magic[4] = {};
            std::ifstream result(vmlinux, std::ios::binary);
            result.read(magic, 4);
            if (result && std::memcmp(magic,
                                      "\x7f"
                                      "ELF",
                                      4) == 0) {
                unlink(tail.c_str());
                return true;
            }
        }
    }
    unlink(tail.c_str());
    unlink(vmlinux.c_str());
    error = vmlinuz + ": no compressed kernel found inside";
    return false;
}

bool prepareKernel(const std::string& cache, const std::string& package, Kernel& kernel,
                   std::string& error) {
    std::string root = cache + "/" + package;
    if (exists(root + "/complete"))
        return fill(root, kernel, error);
    if (!runProgram({"mkdir", "-p", "--", cache}, error))
        return false;
    std::string work = root + ".partial." + std::to_string(getpid());
    removeTree(work);
    if (mkdir(work.c_str(), 0755) != 0) {
        error = work + ": " + std::strerror(errno);
        return false;
    }
    auto failWith = [&](const std::string& step) {
        error = step + ": " + error;
        removeTree(work);
        return false;
    };
    if (!runProgram({"apt-get", "download", "-q", "-o", "APT::Sandbox::User=root", package}, error,
                    work))
        return failWith("fetching " + package);
    std::string deb;
    for (const std::string& name : entriesOf(work))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0)
            deb = work + "/" + name;
    if (deb.empty()) {
        error = "apt-get left no .deb";
        return failWith("fetching " + package);
    }
    if (!runProgram({"dpkg-deb", "-x", deb, work + "/tree"}, error))
        return failWith("unpacking " + deb);
    unlink(deb.c_str());
    // Newer packages compress their modules; the installer hands the kernel plain files.
    if (!runProgram({"find", work + "/tree/lib/modules", "-name", "*.ko.xz", "-exec", "xz", "-dq",
                     "{}", "+"},
                    error) ||
        !runProgram({"find", work + "/tree/lib/modules", "-name", "*.ko.zst", "-exec", "zstd",
                     "-dq", "--rm", "{}", "+"},
                    error))
        return failWith("unpacking the modules");
    std::vector<std::string> releases = entriesOf(work + "/tree/lib/modules");
    if (releases.size() != 1) {
        error = "expected one module directory";
        return failWith("unpacking " + deb);
    }
    if (!extractVmlinux(work + "/tree/boot/vmlinuz-" + releases.front(), work + "/vmlinux", error))
        return failWith("extracting vmlinux");
    {
        std::ofstream marker(work + "/complete");
        marker << package << "\n";
        if (!marker) {
            error = "cannot write the marker";
            return failWith(work);
        }
    }
    if (rename(work.c_str(), root.c_str()) != 0) {
        // Another run got there first (or a stale incomplete copy is in the way).
        if (!exists(root + "/complete")) {
            removeTree(root);
            if (rename(work.c_str(), root.c_str()) != 0) {
                error = root + ": " + std::strerror(errno);
                return failWith("storing the kernel");
            }
        } else {
            removeTree(work);
        }
    }
    return fill(root, kernel, error);
}

} // namespace bootmedia
