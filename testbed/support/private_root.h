// sandbox::run: a piece of a test, run as root in a private mount namespace whose root is a
// fresh tmpfs with tmpfs mounts at "/flash" and "/ram" (the host's /usr, /etc and this
// checkout's source and build trees read-only, /dev bound, /tmp private), so the code works on
// its real paths without touching this machine. The body runs in a forked child; its failures
// make the child exit non-zero, which fails the test.
#pragma once

#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace sandbox {

inline bool mountOn(const char* source, const std::string& target, const char* type,
                    unsigned long flags, const char* options = nullptr) {
    return mount(source, target.c_str(), type, flags, options) == 0;
}

// Host trees seen read-only inside: programs and libraries, and this checkout (keys, tools),
// wherever it was cloned.
inline std::vector<std::string> hostTrees() {
    return {"/usr", "/etc", INSTALLER_SOURCE_DIR, INSTALLER_BINARY_DIR};
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
        makeDirectories(base + tree);
        if (!mountOn(tree.c_str(), base + tree, nullptr, MS_BIND | MS_REC) ||
            !mountOn(nullptr, base + tree, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY))
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
