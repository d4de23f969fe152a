// Archive extraction on arbitrary archives, into a scratch root of the fuzz scratch world
// (testbed/fuzz_support.h): "/flash", or "/scratch" as the current directory in relative mode.
// Beyond crashes, a run fails when anything outside the root appeared, vanished or changed, or
// when a recorded path could name something outside it.
//
// Input: one byte of flags, then the decompressed archive (entry headers, names, data); the
// target compresses it into the archive part of a package, so that the fuzzer works on the
// archive's own structure. Flags: relative mode, a disabled package (placed below "/x/NAME"),
// an unregistered one, and a root that already holds links pointing out of it and a file owned
// by an installed package.
#include "package/format/format.h"
#include "package/record/record_root.h"
#include "repository/repository.h"
#include "testbed/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <sstream>
#include <string>

using namespace installer;

namespace {

int homeFd = -1;

Repository& quietRepository() {
    static Repository* repository = [] {
        auto* made = new Repository;
        made->quiet = true;
        made->setConsole(std::fopen("/dev/null", "w"));
        // An installed package owning a file the archive may collide with.
        auto owner = std::make_unique<InstalledPackage>();
        owner->name = "owner";
        owner->files = {"/etc/owned", "./etc/owned"};
        made->add(std::move(owner));
        return made;
    }();
    return *repository;
}

// The archive as a zlib stream of stored blocks: what the reader sees is a real compressed
// part, without the cost of a compressor's state on every run.
std::string storedZlib(const std::string& archive) {
    std::string out = "\x78\x01";
    size_t at = 0;
    do {
        size_t length = std::min<size_t>(archive.size() - at, 65535);
        bool last = at + length == archive.size();
        uint8_t block[5] = {uint8_t(last), uint8_t(length), uint8_t(length >> 8), uint8_t(~length),
                            uint8_t(~length >> 8)};
        out.append(reinterpret_cast<char*>(block), sizeof block);
        out.append(archive, at, length);
        at += length;
    } while (at < archive.size());
    uLong check = adler32(1, reinterpret_cast<const Bytef*>(archive.data()), uInt(archive.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char(check >> shift));
    return out;
}

std::string packageAround(const std::string& archive) {
    std::string compressed = storedZlib(archive);
    uint8_t head[fileHeaderSize + partHeaderSize];
    storeLe32(head, packageMagic);
    storeLe32(head + 4, uint32_t(partHeaderSize + compressed.size()));
    storeLe16(head + 8, partArchive);
    storeLe32(head + 10, uint32_t(compressed.size()));
    return std::string(reinterpret_cast<char*>(head), sizeof head) + compressed;
}

// What an earlier package or the old system may have left in the root.
void populate(const char* root) {
    std::string base = root;
    mkdir((base + "/etc").c_str(), 0755);
    int fd = open((base + "/etc/owned").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
    symlink("/", (base + "/top").c_str());
    symlink("../..", (base + "/up").c_str());
    symlink("../outside", (base + "/out").c_str());
    symlink("/outside/decoy", (base + "/etc/decoy").c_str());
    symlink("../../../../outside/dir", (base + "/etc/deep").c_str());
}

void failWith(const std::string& what) {
    std::fprintf(stderr, "extraction reached outside its root:\n%s", what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, true);
    homeFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    uint8_t flags = cursor.byte();
    bool relative = flags & 1, disabled = flags & 2, unregistered = flags & 4;
    const char* root = relative ? "/scratch" : "/flash";
    if (flags & 8)
        populate(root);
    std::istringstream stream(packageAround(std::string(cursor.rest())));
    PackageReader reader(stream, true);
    reader.want(partArchive);
    Repository& repository = quietRepository();
    InstalledPackage package;
    package.name = "fuzz";
    package.disabled = disabled;
    if (reader.next() != partArchive || (relative && chdir(root) != 0))
        std::abort();
    {
        InstallationRoot installation =
            relative ? InstallationRoot::currentDirectory() : InstallationRoot::target();
        repository.extractFiles(package, reader, unregistered, installation);
    }
    if (relative && fchdir(homeFd) != 0)
        std::abort();

    std::string what;
    if (fuzz::outsideChanged(root, what))
        failWith(what);
    for (const std::string& path : package.files)
        if (hasParentComponent(path) || !path.starts_with(relative ? "./" : "/"))
            failWith("recorded path " + path + "\n");
    fuzz::clearDirectory(root);
    return 0;
}
