// Paths that come from package contents (archive entry names, recorded file lists, the package
// database below the target) are resolved inside an installation root, the way a chroot into
// that root would resolve them:
//   - every component is looked up with the *at() calls from a descriptor of the root;
//   - a symbolic link met on the way, whoever placed it, is followed inside the root: an
//     absolute target starts again at the root, and ".." never climbs above the root;
//   - the last component is never followed: callers create, replace or delete the object at
//     that place, so a link standing there is the object itself, not a way elsewhere.
// Package contents are only verified after they are written, so nothing a package holds may
// reach outside the root, and this is the one place where that is decided.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

// Where the target system is mounted while it is installed.
inline constexpr char targetDirectory[] = "/flash";
// The package database inside the target system: one directory per record.
inline constexpr char packageDatabase[] = "/var/pdb";

// A path of the target system as the installer sees it, made at compile time:
// TargetPath("/boot") is "/flash/boot". Converts to the C string the system calls take.
template <size_t N> struct TargetPath {
    consteval TargetPath(const char (&inside)[N]) {
        for (size_t i = 0; i < sizeof targetDirectory - 1; ++i)
            text[i] = targetDirectory[i];
        for (size_t i = 0; i < N; ++i)
            text[sizeof targetDirectory - 1 + i] = inside[i];
    }
    constexpr operator const char*() const { return text; }
    constexpr std::string_view view() const { return {text, sizeof text - 1}; }

    char text[sizeof targetDirectory - 1 + N] = {};
};

// Where a package's files and its database record go: the target system, or the current
// directory for a package that extends the running system. The root directory is opened once,
// when the value is made, and closed with it; lookups below it go through a ConfinedRoot made
// from it. Pass it by reference: it is neither copied nor moved.
class InstallationRoot {
public:
    // The target system at targetDirectory; recorded paths are absolute ("/usr/bin/tool").
    static InstallationRoot target() { return InstallationRoot(false); }
    // The current directory; recorded paths begin with "./" ("./usr/bin/tool"), and records
    // go to "flash/var/pdb/" below it.
    static InstallationRoot currentDirectory() { return InstallationRoot(true); }

    ~InstallationRoot();
    InstallationRoot(const InstallationRoot&) = delete;
    InstallationRoot& operator=(const InstallationRoot&) = delete;

    bool relative() const { return isRelative; }
    // "/flash", or "." for the current directory.
    const char* directory() const { return isRelative ? "." : targetDirectory; }
    // The root's descriptor, or -1 when it could not be opened (openError() says why).
    int descriptor() const { return fd; }
    int openError() const { return error; }

    // A path below the root as records keep it: "/etc/x", or "./etc/x".
    std::string recordPath(const std::string& inside) const;
    // The package database below the root ("var/pdb", or "flash/var/pdb"), or the directory
    // of one record in it.
    std::string databaseInside(const std::string& name = "") const;
    // A record's directory as this process names it: "/flash/var/pdb/NAME/", or
    // "./flash/var/pdb/NAME/".
    std::string databaseDirectory(const std::string& name) const;

private:
    explicit InstallationRoot(bool relative);

    bool isRelative;
    int fd = -1;
    int error = 0;
};

// The components of a path, empty ones and "." dropped; ".." kept.
std::vector<std::string> pathComponents(std::string_view path);

// True when the path has a ".." component. Entry names with one are refused outright: no
// package needs them, and refusing them keeps recorded paths free of aliases.
bool hasParentComponent(std::string_view path);

class ConfinedRoot {
public:
    // Opens `directory` as the root.
    explicit ConfinedRoot(const std::string& directory);
    // Lookups below an installation root, on a duplicate of its descriptor.
    explicit ConfinedRoot(const InstallationRoot& root);
    ~ConfinedRoot();
    ConfinedRoot(const ConfinedRoot&) = delete;
    ConfinedRoot& operator=(const ConfinedRoot&) = delete;

    bool valid() const { return rootFd >= 0; }

    // The directory that holds the last component of `path`, resolved inside the root; with
    // `create`, missing directories on the way are made (mode 0770). `leaf` receives the last
    // component, empty when the path names the root itself. The descriptor belongs to this
    // object and stays valid until the next call. -1 with errno on failure.
    int parent(std::string_view path, std::string& leaf, bool create);

    // Opens the directory that `path` resolves to, following a link in the last component
    // too; with `create`, missing directories are made. The caller closes it. -1 with errno.
    int openDirectory(std::string_view path, bool create);

    // Forgets the remembered parent directory; called after something was deleted or
    // replaced, so that no later lookup relies on what was there before.
    void forget();

private:
    int walk(const std::vector<std::string>& components, bool create);

    int rootFd = -1;
    std::vector<std::string> cachedComponents;
    bool cachedCreate = false;
    int cachedFd = -1;
};

} // namespace installer
