#include "testbed/boot_root.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

} // namespace

bool sortedEntries(const std::string& directory, std::vector<std::string>& names,
                   std::string& error) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
        error = directory + ": " + std::strerror(errno);
        return false;
    }
    names.clear();
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

void RootPlan::parents(const std::string& path) {
    std::string parent = parentOf(path);
    if (parent == "/" || std::find(known_.begin(), known_.end(), parent) != known_.end())
        return;
    directory(parent);
}

void RootPlan::directory(const std::string& path, mode_t mode) {
    if (std::find(known_.begin(), known_.end(), path) != known_.end())
        return;
    parents(path);
    known_.push_back(path);
    steps_.push_back({RootStep::Directory, path, "", mode, 0});
}

void RootPlan::copyFile(const std::string& hostPath, const std::string& path) {
    parents(path);
    steps_.push_back({RootStep::Copy, path, hostPath, 0, 0});
}

bool RootPlan::copyTree(const std::string& hostPath, const std::string& path) {
    struct stat st {};
    if (lstat(hostPath.c_str(), &st) != 0) {
        error_ = hostPath + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        char link[4096];
        ssize_t n = readlink(hostPath.c_str(), link, sizeof link - 1);
        if (n < 0)
            return false;
        symlink(std::string(link, static_cast<size_t>(n)), path);
        return true;
    }
    if (!S_ISDIR(st.st_mode)) {
        copyFile(hostPath, path);
        return true;
    }
    directory(path, st.st_mode & 07777);
    std::vector<std::string> names;
    if (!sortedEntries(hostPath, names, error_))
        return false;
    for (const std::string& name : names)
        if (!copyTree(hostPath + "/" + name, path == "/" ? "/" + name : path + "/" + name))
            return false;
    return true;
}

bool RootPlan::addProgram(const std::string& hostPath, const std::string& path) {
    std::vector<std::string> libraries;
    if (access(hostPath.c_str(), X_OK) != 0) {
        error_ = hostPath + ": " + std::strerror(errno);
        return false;
    }
    if (!sharedLibraries(hostPath, libraries)) {
        error_ = "cannot list the libraries of " + hostPath;
        return false;
    }
    copyFile(hostPath, path);
    for (const std::string& library : libraries) {
        if (std::find(known_.begin(), known_.end(), library) != known_.end())
            continue;
        known_.push_back(library);
        copyFile(library, library);
    }
    return true;
}

void RootPlan::symlink(const std::string& linkText, const std::string& path) {
    parents(path);
    steps_.push_back({RootStep::Symlink, path, linkText, 0, 0});
}

void RootPlan::device(bool block, dev_t number, const std::string& path, mode_t mode) {
    parents(path);
    steps_.push_back(
        {block ? RootStep::BlockDevice : RootStep::CharDevice, path, "", mode, number});
}

void RootPlan::bind(const std::string& hostPath, const std::string& path, bool isDirectory) {
    if (isDirectory)
        directory(path);
    else
        parents(path);
    steps_.push_back({RootStep::Bind, path, hostPath, isDirectory ? 1u : 0u, 0});
}

void RootPlan::text(const std::string& contents, const std::string& path, mode_t mode) {
    parents(path);
    steps_.push_back({RootStep::WriteText, path, contents, mode, 0});
}

bool addBootImageTools(RootPlan& root, const std::string& sfdiskTool) {
    bool ok = root.addProgram("/bin/bash", "/bin/bash") &&
              root.addProgram("/sbin/mke2fs", "/sbin/mke2fs") &&
              root.addProgram("/sbin/e2fsck", "/sbin/e2fsck") &&
              root.addProgram("/sbin/fsck", "/sbin/fsck") &&
              root.addProgram("/sbin/fsck.ext2", "/sbin/fsck.ext2") &&
              root.addProgram("/sbin/fsck.ext3", "/sbin/fsck.ext3") &&
              root.addProgram("/sbin/fsck.ext4", "/sbin/fsck.ext4") &&
              root.addProgram("/sbin/sfdisk", "/usr/lib/bootimage/sfdisk") &&
              root.addProgram(sfdiskTool, "/sbin/sfdisk");
    if (!ok)
        return false;
    root.symlink("bash", "/bin/sh");
    root.symlink("../proc/self/mounts", "/etc/mtab");
    if (access("/etc/mke2fs.conf", R_OK) == 0)
        root.copyFile("/etc/mke2fs.conf", "/etc/mke2fs.conf");
    return true;
}

bool sharedLibraries(const std::string& program, std::vector<std::string>& libraries) {
    static std::map<std::string, std::vector<std::string>> cache;
    auto cached = cache.find(program);
    if (cached != cache.end()) {
        libraries = cached->second;
        return true;
    }
    std::string command = "ldd '" + program + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return false;
    std::vector<std::string> found;
    bool isStatic = false;
    char line[1024];
    while (fgets(line, sizeof line, pipe)) {
        std::string text = line;
        if (text.find("not a dynamic executable") != std::string::npos ||
            text.find("statically linked") != std::string::npos)
            isStatic = true;
        size_t arrow = text.find("=> ");
        size_t start = arrow != std::string::npos ? arrow + 3 : text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] != '/')
            continue;
        size_t end = text.find_first_of(" \t\n(", start);
        found.push_back(text.substr(start, end - start));
    }
    int status = pclose(pipe);
    if (status != 0 && !isStatic)
        return false;
    cache[program] = found;
    libraries = found;
    return true;
}

// Everything below runs in the sandbox's first process before it becomes the program.
namespace {

char pathBuffer[4096];
char copyBuffer[65536];

const char* inRoot(const char* rootDir, const std::string& path) {
    std::snprintf(pathBuffer, sizeof pathBuffer, "%s%s", rootDir, path.c_str());
    return pathBuffer;
}

bool copyContents(const char* from, const char* to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st {};
    fstat(in, &st);
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, copyBuffer, sizeof copyBuffer);
        if (n == 0)
            break;
        if (n < 0 || write(out, copyBuffer, static_cast<size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    fchmod(out, st.st_mode & 07777);
    close(in);
    return close(out) == 0 && ok;
}

bool writeText(const char* to, const std::string& contents, mode_t mode) {
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0)
        return false;
    bool ok = write(out, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    return close(out) == 0 && ok;
}

bool applyStep(const RootStep& step, const char* path) {
    switch (step.kind) {
    case RootStep::Directory:
        return (mkdir(path, step.mode) == 0 || errno == EEXIST) && chmod(path, step.mode) == 0;
    case RootStep::Copy:
        return copyContents(step.source.c_str(), path);
    case RootStep::Symlink:
        return ::symlink(step.source.c_str(), path) == 0;
    case RootStep::CharDevice:
        return mknod(path, S_IFCHR | step.mode, step.device) == 0;
    case RootStep::BlockDevice:
        return mknod(path, S_IFBLK | step.mode, step.device) == 0;
    case RootStep::Bind:
        if (!step.mode && !writeText(path, "", 0644)) // a file to bind onto
            return false;
        return mount(step.source.c_str(), path, nullptr, MS_BIND | MS_REC, nullptr) == 0;
    case RootStep::WriteText:
        return writeText(path, step.source, step.mode);
    }
    return false;
}

} // namespace

bool applyRootPlan(const std::vector<RootStep>& plan, const char* rootDir, char* message,
                   size_t size) {
    for (const RootStep& step : plan) {
        const char* path = inRoot(rootDir, step.target);
        if (!applyStep(step, path)) {
            std::snprintf(message, size, "preparing %s in the root: %s", step.target.c_str(),
                          std::strerror(errno));
            return false;
        }
    }
    return true;
}
