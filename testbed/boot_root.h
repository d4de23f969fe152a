#pragma once
// The boot-image root a sandbox run sees: the boot image's tools with the libraries they load,
// device nodes, media and files a test adds. It is worked out in full beforehand (RootPlan) and
// then laid out by the sandbox's first process, which may do nothing but system calls.
#include <string>
#include <sys/types.h>
#include <vector>

struct RootStep {
    enum Kind { Directory, Copy, Symlink, CharDevice, BlockDevice, Bind, WriteText };
    Kind kind;
    std::string target; // path inside the root, absolute
    std::string source; // host path (Copy, Bind), link text (Symlink), contents (WriteText)
    mode_t mode = 0755;
    dev_t device = 0;
};

// The names in a host directory but "." and "..", sorted, so that what is built from a tree
// comes out the same whatever order the file system lists it in. False with error set when it
// cannot be listed.
bool sortedEntries(const std::string& directory, std::vector<std::string>& names,
                   std::string& error);

class RootPlan {
public:
    void directory(const std::string& path, mode_t mode = 0755);
    // Copies a host file (following links) to path, creating the directories above it.
    void copyFile(const std::string& hostPath, const std::string& path);
    // Copies a host file or directory tree to path.
    bool copyTree(const std::string& hostPath, const std::string& path);
    // Copies a host program and every shared library it loads (at their own paths). False when
    // the program is missing or its libraries cannot be listed.
    bool addProgram(const std::string& hostPath, const std::string& path);
    void symlink(const std::string& linkText, const std::string& path);
    void device(bool block, dev_t number, const std::string& path, mode_t mode = 0660);
    void bind(const std::string& hostPath, const std::string& path, bool isDirectory);
    void text(const std::string& contents, const std::string& path, mode_t mode = 0644);

    const std::vector<RootStep>& steps() const { return steps_; }
    const std::string& error() const { return error_; }

private:
    void parents(const std::string& path);
    std::vector<RootStep> steps_;
    std::vector<std::string> known_;
    std::string error_;
};

// The boot image's system tools as every boot-image root carries them: bash (also as /bin/sh),
// mke2fs, e2fsck and the fsck front end, the partitioning tool sfdiskTool as /sbin/sfdisk over
// the host's sector-based sfdisk, /etc/mtab and mke2fs.conf. False (error() says why) when one
// is missing.
bool addBootImageTools(RootPlan& root, const std::string& sfdiskTool);

// The shared libraries a dynamically linked host program loads, as absolute host paths
// (empty for a static program). False when the list cannot be had.
bool sharedLibraries(const std::string& program, std::vector<std::string>& libraries);

// Lays out plan below rootDir. Only system calls and a static buffer: safe in a process cloned
// from a threaded one. On failure returns false and leaves a message in message (size bytes).
bool applyRootPlan(const std::vector<RootStep>& plan, const char* rootDir, char* message,
                   size_t size);
