#include "package/record/record_root.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

namespace installer {

namespace {

// The most links followed in one lookup, as the kernel allows.
constexpr int maxLinks = 40;

void closeAll(std::vector<int>& fds) {
    for (int fd : fds)
        close(fd);
    fds.clear();
}

int openDirectoryAt(int dir, const std::string& name) {
    return openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            components.emplace_back(part);
        start = end + 1;
    }
    return components;
}

bool hasParentComponent(std::string_view path) {
    for (const std::string& component : pathComponents(path))
        if (component == "..")
            return true;
    return false;
}

InstallationRoot::InstallationRoot(bool relative) : isRelative(relative) {
    fd = open(directory(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    error = fd < 0 ? errno : 0;
}

InstallationRoot::~InstallationRoot() {
    if (fd >= 0)
        close(fd);
}

std::string InstallationRoot::recordPath(const std::string& inside) const {
    return (isRelative ? "." : "") + inside;
}

std::string InstallationRoot::databaseInside(const std::string& name) const {
    // Relative to the current directory, the database's path takes the leading dot like every
    // other path: "./flash/var/pdb/", which is "flash/var/pdb" below this root.
    std::string inside = std::string(isRelative ? targetDirectory : "") + packageDatabase;
    inside.erase(0, 1);
    return name.empty() ? inside : inside + "/" + name;
}

std::string InstallationRoot::databaseDirectory(const std::string& name) const {
    return recordPath(std::string(targetDirectory) + packageDatabase + "/" + name + "/");
}

ConfinedRoot::ConfinedRoot(const std::string& directory) {
    rootFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

ConfinedRoot::ConfinedRoot(const InstallationRoot& root) {
    rootFd = root.descriptor() >= 0 ? fcntl(root.descriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (root.descriptor() < 0)
        errno = root.openError();
}

ConfinedRoot::~ConfinedRoot() {
    forget();
    if (rootFd >= 0)
        close(rootFd);
}

void ConfinedRoot::forget() {
    if (cachedFd >= 0)
        close(cachedFd);
    cachedFd = -1;
    cachedComponents.clear();
}

int ConfinedRoot::walk(const std::vector<std::string>& components, bool create) {
    if (rootFd < 0) {
        errno = EBADF;
        return -1;
    }
    // The open directories from the root down to where the lookup stands; ".." pops one.
    std::vector<int> stack;
    stack.push_back(dup(rootFd));
    if (stack.back() < 0)
        return -1;
    std::deque<std::string> todo(components.begin(), components.end());
    int links = 0;
    while (!todo.empty()) {
        std::string name = std::move(todo.front());
        todo.pop_front();
        if (name == "..") {
            if (stack.size() > 1) {
                close(stack.back());
                stack.pop_back();
            }
            continue;
        }
        int dir = stack.back();
        int fd = openDirectoryAt(dir, name);
        if (fd < 0 && errno == ENOENT && create) {
            if (mkdirat(dir, name.c_str(), 0770) != 0 && errno != EEXIST) {
                int saved = errno;
                closeAll(stack);
                errno = saved;
                return -1;
            }
            fd = openDirectoryAt(dir, name);
        }
        if (fd >= 0) {
            stack.push_back(fd);
            continue;
        }
        int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            char target[PATH_MAX];
            ssize_t length = readlinkat(dir, name.c_str(), target, sizeof target);
            if (length >= 0) {
                if (size_t(length) >= sizeof target)
                    error = ENAMETOOLONG;
                else if (++links > maxLinks)
                    error = ELOOP;
                else {
                    std::string_view text(target, size_t(length));
                    std::vector<std::string> spliced = pathComponents(text);
                    todo.insert(todo.begin(), spliced.begin(), spliced.end());
                    if (text.starts_with('/')) {
                        while (stack.size() > 1) {
                            close(stack.back());
                            stack.pop_back();
                        }
                    }
                    continue;
                }
            }
        }
        closeAll(stack);
        errno = error;
        return -1;
    }
    int result = stack.back();
    stack.pop_back();
    closeAll(stack);
    return result;
}

int ConfinedRoot::parent(std::string_view path, std::string& leaf, bool create) {
    std::vector<std::string> components = pathComponents(path);
    leaf.clear();
    if (!components.empty()) {
        leaf = std::move(components.back());
        components.pop_back();
    }
    if (cachedFd >= 0 && components == cachedComponents && (cachedCreate || !create))
        return cachedFd;
    forget();
    int fd = walk(components, create);
    if (fd < 0)
        return -1;
    cachedFd = fd;
    cachedComponents = std::move(components);
    cachedCreate = create;
    return fd;
}

int ConfinedRoot::openDirectory(std::string_view path, bool create) {
    return walk(pathComponents(path), create);
}

} // namespace installer
