// Test helpers for package records and everything above them:
//   - sandbox::run: a piece of a test, run as root in a private mount namespace whose root is a
//     fresh tmpfs with tmpfs mounts at "/flash" and "/ram" (the host's /usr, /etc and this
//     checkout's source and build trees read-only, /dev bound, /tmp private), so the code works on its real paths without
//     touching this machine. The body runs in a forked child; its failures make the child
//     exit non-zero, which fails the test;
//   - testpkg: package files of a precise shape, made in memory with the package writer.
#pragma once

#include "package/format.h"
#include "package/reader.h"
#include "package/version.h"
#include "package/writer.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sandbox {

inline bool mountOn(const char* source, const std::string& target, const char* type,
                    unsigned long flags, const char* options = nullptr) {
    return mount(source, target.c_str(), type, flags, options) == 0;
}

inline bool bindReadOnly(const std::string& source, const std::string& target) {
    mkdir(target.c_str(), 0755);
    return mountOn(source.c_str(), target, nullptr, MS_BIND | MS_REC) &&
           mountOn(nullptr, target, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY);
}

// Host trees seen read-only inside: programs and libraries, and this checkout (keys, tools),
// wherever it was cloned.
inline std::vector<std::string> hostTrees() {
    std::vector<std::string> trees{"/usr", "/etc"};
#ifdef INSTALLER_SOURCE_DIR
    trees.push_back(INSTALLER_SOURCE_DIR);
#endif
#ifdef INSTALLER_BINARY_DIR
    trees.push_back(INSTALLER_BINARY_DIR);
#endif
    return trees;
}

inline void makeDirectory(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            return;
    }
}

inline bool enter(const std::string& base, const std::string& flashOptions) {
    if (unshare(CLONE_NEWNS) != 0 || !mountOn(nullptr, "/", nullptr, MS_REC | MS_PRIVATE) ||
        !mountOn("sandbox", base, "tmpfs", 0, "mode=0755"))
        return false;
    for (std::string link : {"bin", "sbin", "lib", "lib64", "lib32"})
        symlink(("usr/" + link).c_str(), (base + "/" + link).c_str());
    for (std::string dir : {"/dev", "/proc", "/tmp", "/flash", "/ram"})
        mkdir((base + dir).c_str(), 01777);
    for (const std::string& tree : hostTrees()) {
        makeDirectory(base + tree);
        if (!bindReadOnly(tree, base + tree))
            return false;
    }
    if (!mountOn("/dev", base + "/dev", nullptr, MS_BIND | MS_REC) ||
        !mountOn("/proc", base + "/proc", nullptr, MS_BIND | MS_REC))
        return false;
    return chroot(base.c_str()) == 0 && chdir("/") == 0 &&
           mountOn("flash", "/flash", "tmpfs", 0, flashOptions.c_str()) &&
           mountOn("ram", "/ram", "tmpfs", 0, "mode=0755");
}

// `flashOptions` are the tmpfs options of "/flash" ("size=256k" makes a disk that runs full).
inline void run(const std::function<void()>& body, const std::string& flashOptions = "mode=0755") {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    char base[] = "/tmp/records-sandbox-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (!enter(base, flashOptions)) {
            std::perror("sandbox");
            _exit(3);
        }
        umask(022);
        body();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    rmdir(base);
    EXPECT_TRUE(child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "sandboxed part failed (status " << status << ")";
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A bash that works under chroot("/flash"): the shell, its libraries, /dev/null, and the
// profile every package script sources.
inline void installShell() {
    std::string copy =
        "cp --parents /usr/bin/bash $(ldd /usr/bin/bash | grep -o '/[^ ]*') /flash"
        " && ln -s usr/bin /flash/bin && mkdir -p /flash/dev /flash/vela/lib/install";
    ASSERT_EQ(std::system(copy.c_str()), 0);
    ASSERT_EQ(mknod("/flash/dev/null", S_IFCHR | 0666, makedev(1, 3)), 0);
    writeFile("/flash/vela/lib/install/profile.sh", "PROFILE_LOADED=1\n");
}

} // namespace sandbox

namespace testpkg {

using namespace installer;

struct Entry {
    uint16_t mode = 0100644;
    std::string name, data;
    uint16_t uid = 0, gid = 0;
    uint32_t mtime = 1000000000;
    bool skip = false;
};
inline Entry regular(const std::string& name, const std::string& data, uint16_t mode = 0644) {
    return {uint16_t(0100000 | mode), name, data};
}
inline Entry directory(const std::string& name) {
    return {040755, name, ""};
}
inline Entry link(const std::string& name, const std::string& target) {
    return {0120777, name, target};
}

inline std::string compressed(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 6);
    out.resize(size);
    return out;
}

inline std::string archiveContent(const std::vector<Entry>& entries) {
    std::string raw;
    for (const Entry& e : entries) {
        FileEntryHeader header{e.mode, e.uid, e.gid, e.mtime, e.skip, uint32_t(e.data.size()), 0};
        raw += fileEntryBytes(header, e.name) + e.data;
    }
    return raw;
}

inline std::string requirementPart(int kind, const std::vector<Requirement>& list) {
    std::vector<RequirementRecord> records;
    for (const Requirement& r : list)
        records.push_back({r.name, r.minVersion, r.maxVersion, r.priority});
    return list.empty() ? "" : partBytes(kind, requirementListBytes(records));
}

struct Draft {
    std::string name = "demo";
    uint32_t version = makeVersion(1, 0, 'f', 0);
    std::string architecture; // no part when empty
    std::vector<Requirement> depends, provides, conflicts;
    std::optional<std::string> payload, oninstall, onuninstall, rawArchive;
    std::vector<Entry> entries;

    // The parts from the header through the archive: what a package's digest covers.
    std::string parts() const {
        std::string out = partBytes(partHeader, headerBodyBytes({name, version, 1000}));
        if (!architecture.empty())
            out += partBytes(partArchitecture, architecture);
        out += requirementPart(partDepends, depends) + requirementPart(partProvides, provides) +
               requirementPart(partConflicts, conflicts);
        for (auto [kind, body] : {std::pair{partPayload, payload},
                                  {partOnInstall, oninstall},
                                  {partOnUninstall, onuninstall}})
            if (body)
                out += partBytes(kind, *body);
        return out +
               partBytes(partArchive, rawArchive.value_or(compressed(archiveContent(entries))));
    }
    // Unsigned: its digest is not a known one, so its installation ends as a broken package.
    std::string unsignedFile(uint32_t magic = packageMagic) const {
        return packageFileBytes(parts(), magic);
    }
};

// A reader over a package in memory, wanting what the stream installation wants.
struct MemoryReader {
    explicit MemoryReader(const std::string& bytes) : source(bytes), reader(source, true) {
        for (int kind : {1, 18, 20, 16, 3, 19, 17, 21, 4, 7, 8, 9})
            reader.want(kind);
        reader.next();
    }
    std::istringstream source;
    PackageReader reader;
};

} // namespace testpkg
