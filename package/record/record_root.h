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

#include <string>
#include <string_view>
#include <vector>

namespace installer {

// The components of a path, empty ones and "." dropped; ".." kept.
std::vector<std::string> pathComponents(std::string_view path);

// True when the path has a ".." component. Entry names with one are refused outright: no
// package needs them, and refusing them keeps recorded paths free of aliases.
bool hasParentComponent(std::string_view path);

class ConfinedRoot {
public:
    // Opens `directory` ("/flash", or "." for the current directory) as the root.
    explicit ConfinedRoot(const std::string& directory);
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
