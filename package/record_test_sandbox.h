// Test helper: runs a piece of a test as root in a private mount namespace whose root is a
// fresh tmpfs, with "/flash" and "/ram" tmpfs mounts of their own, so that the code under test
// works on its real paths ("/flash/var/pdb/", "/ram/pdb/") without touching this machine.
// The host's /usr, /etc and /work appear read-only, /dev as it is; /tmp is private.
//
// The body runs in a forked child; its gtest failures are printed there and make the child
// exit non-zero, which the parent's check turns into a failure of the test.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace sandbox {

inline bool mustMount(const char* source, const std::string& target, const char* type,
                      unsigned long flags, const char* options = nullptr) {
    if (mount(source, target.c_str(), type, flags, options) == 0)
        return true;
    std::perror(("sandbox: mount " + target).c_str());
    return false;
}

inline bool bindReadOnly(const std::string& source, const std::string& target) {
    mkdir(target.c_str(), 0755);
    return mustMount(source.c_str(), target, nullptr, MS_BIND | MS_REC) &&
           mustMount(nullptr, target, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY);
}

// Makes the child's view: called in the child after unshare.
inline bool enterSandbox(const std::string& base, const std::string& flashOptions) {
    if (!mustMount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE) ||
        !mustMount("sandbox", base, "tmpfs", 0, "mode=0755"))
        return false;
    for (const char* link : {"bin", "sbin", "lib", "lib64", "lib32"}) {
        std::string target = std::string("usr/") + link;
        if (symlink(target.c_str(), (base + "/" + link).c_str()) != 0)
            return false;
    }
    if (!bindReadOnly("/usr", base + "/usr") || !bindReadOnly("/etc", base + "/etc"))
        return false;
    if (access("/work", F_OK) == 0 && !bindReadOnly("/work", base + "/work"))
        return false;
    mkdir((base + "/dev").c_str(), 0755);
    mkdir((base + "/proc").c_str(), 0755);
    if (!mustMount("/dev", base + "/dev", nullptr, MS_BIND | MS_REC) ||
        !mustMount("/proc", base + "/proc", nullptr, MS_BIND | MS_REC))
        return false;
    for (const char* dir : {"/tmp", "/flash", "/ram"})
        mkdir((base + dir).c_str(), 01777);
    if (chroot(base.c_str()) != 0 || chdir("/") != 0)
        return false;
    return mustMount("flash", "/flash", "tmpfs", 0, flashOptions.c_str()) &&
           mustMount("ram", "/ram", "tmpfs", 0, "mode=0755");
}

// Runs `body` in the sandbox. `flashOptions` are the tmpfs options of "/flash" (a size limit
// makes a disk that runs full). Skips the test when not run as root.
inline void run(const std::function<void()>& body, const std::string& flashOptions = "mode=0755") {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    char base[] = "/tmp/records-sandbox-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || !enterSandbox(base, flashOptions)) {
            std::perror("sandbox");
            _exit(3);
        }
        umask(022);
        body();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    rmdir(base);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "sandboxed part failed (status " << status << ")";
}

// Helpers for bodies that run inside.
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

inline void makeDirectory(const std::string& path) {
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        mkdir(partial.c_str(), 0755);
    }
}

inline void copyFile(const std::string& from, const std::string& to, mode_t mode) {
    makeDirectory(to.substr(0, to.rfind('/')));
    writeFile(to, readFile(from));
    chmod(to.c_str(), mode);
}

// Puts a working bash into "/flash" (the shell, its libraries, /dev/null and the profile every
// package script sources), so that scripts run under chroot("/flash") as in the field.
inline void installShell() {
    copyFile("/usr/bin/bash", "/flash/bin/bash", 0755);
    FILE* libraries = popen("ldd /usr/bin/bash", "r");
    ASSERT_NE(libraries, nullptr);
    char line[512];
    while (std::fgets(line, sizeof line, libraries)) {
        std::string text(line);
        size_t slash = text.find('/');
        if (slash == std::string::npos)
            continue;
        std::string path = text.substr(slash, text.find(' ', slash) - slash);
        copyFile(path, "/flash" + path, 0755);
    }
    pclose(libraries);
    makeDirectory("/flash/dev");
    ASSERT_EQ(mknod("/flash/dev/null", S_IFCHR | 0666, makedev(1, 3)), 0);
    makeDirectory("/flash/vela/lib/install");
    writeFile("/flash/vela/lib/install/profile.sh", "PROFILE_LOADED=1\n");
}

} // namespace sandbox
