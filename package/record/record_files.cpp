#include "package/record/record_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

namespace {

// The parent as the system's dirname gives it: "/" for "/a", "." for "a".
std::string parentOf(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos)
        return ".";
    while (slash > 0 && path[slash - 1] == '/')
        --slash;
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool makeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0770) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = EEXIST;
    return false;
}

} // namespace

std::vector<std::string> directoryChain(const std::string& path, bool parentsOnly) {
    std::string current = path;
    while (current.size() > 1 && current.back() == '/')
        current.pop_back();
    std::vector<std::string> chain;
    while (!current.empty() && current != "/" && current != ".") {
        chain.insert(chain.begin(), current);
        current = parentOf(current);
    }
    if (parentsOnly && !chain.empty())
        chain.pop_back();
    return chain;
}

bool makeDirectories(const std::string& path, bool parentsOnly) {
    for (const std::string& directory : directoryChain(path, parentsOnly))
        if (!makeDirectory(directory))
            return false;
    return true;
}

bool readTextFile(const std::string& path, std::string& text, size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    text.clear();
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0 || text.size() >= limit)
            break;
        text.append(chunk, size_t(n));
    }
    close(fd);
    return true;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace installer
