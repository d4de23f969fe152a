#include "tools/rpx/tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rpx {

namespace {

constexpr int maxDepth = 256;

bool listDirectory(const std::string& path, std::vector<std::string>& names, std::string& error) {
    DIR* dir = opendir(path.c_str());
    if (!dir) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    errno = 0;
    while (dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    bool ok = errno == 0;
    if (!ok)
        error = path + ": " + std::strerror(errno);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return ok;
}

bool readLinkTarget(const std::string& path, std::string& target, std::string& error) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    if (n < 0 || size_t(n) >= sizeof buffer) {
        error = path + ": " + (n < 0 ? std::strerror(errno) : "link target too long");
        return false;
    }
    target.assign(buffer, size_t(n));
    return true;
}

bool makeEntry(const std::string& host, const std::string& path, const struct stat& st,
               const Manifest& manifest, TreeEntry& entry, std::string& error) {
    entry.path = path;
    auto& h = entry.header;
    mode_t type = st.st_mode & S_IFMT;
    if (type != S_IFREG && type != S_IFDIR && type != S_IFLNK && type != S_IFCHR &&
        type != S_IFBLK && type != S_IFIFO) {
        error = host + ": a socket or other object a package cannot hold";
        return false;
    }
    h.mode = uint16_t(st.st_mode & (S_IFMT | 07777));
    uint64_t uid = manifest.ownerUid ? *manifest.ownerUid : uint64_t(st.st_uid);
    uint64_t gid = manifest.ownerGid ? *manifest.ownerGid : uint64_t(st.st_gid);
    if (uid > 0xffff || gid > 0xffff) {
        error = host + ": owner or group id above 65535 (set \"owner:\" in the manifest)";
        return false;
    }
    h.uid = uint16_t(uid);
    h.gid = uint16_t(gid);
    if (manifest.entryTime) {
        h.mtime = *manifest.entryTime;
    } else if (st.st_mtime < 0 || uint64_t(st.st_mtime) > 0xffffffffu) {
        error = host + ": modification time outside 1970-2106 (set \"entry-time:\")";
        return false;
    } else {
        h.mtime = uint32_t(st.st_mtime);
    }
    if (type == S_IFREG) {
        if (uint64_t(st.st_size) > 0xffffffffu) {
            error = host + ": larger than 4 GiB";
            return false;
        }
        h.dataSize = uint32_t(st.st_size);
        entry.source = host;
    } else if (type == S_IFLNK) {
        if (!readLinkTarget(host, entry.linkTarget, error))
            return false;
        h.dataSize = uint32_t(entry.linkTarget.size());
    } else if (type == S_IFCHR || type == S_IFBLK) {
        if (uint64_t(st.st_rdev) > 0xffffffffu) {
            error = host + ": device number does not fit in 32 bits";
            return false;
        }
        entry.device = uint32_t(st.st_rdev);
        h.dataSize = 4;
    }
    return true;
}

bool walk(const std::string& host, const std::string& path, int depth, const Manifest& manifest,
          std::vector<TreeEntry>& out, std::string& error) {
    if (depth > maxDepth) {
        error = host + ": directories nested too deeply";
        return false;
    }
    std::vector<std::string> names;
    if (!listDirectory(host, names, error))
        return false;
    for (const auto& name : names) {
        std::string childHost = host + "/" + name;
        std::string childPath = path.empty() ? name : path + "/" + name;
        if (childPath.size() > 0xffff) {
            error = childHost + ": path too long";
            return false;
        }
        // The package database lists a package's files one per line.
        if (name.find('\n') != std::string::npos) {
            error = childHost + ": a newline in a name cannot be recorded";
            return false;
        }
        struct stat st;
        if (lstat(childHost.c_str(), &st) != 0) {
            error = childHost + ": " + std::strerror(errno);
            return false;
        }
        TreeEntry entry;
        if (!makeEntry(childHost, childPath, st, manifest, entry, error))
            return false;
        out.push_back(std::move(entry));
        if (S_ISDIR(st.st_mode) && !walk(childHost, childPath, depth + 1, manifest, out, error))
            return false;
    }
    return true;
}

bool byPath(const TreeEntry& a, const TreeEntry& b) {
    return a.path < b.path;
}

} // namespace

bool applyDeclarations(const Manifest& manifest, std::vector<TreeEntry>& entries,
                       std::string& error) {
    for (const auto& node : manifest.nodes) {
        auto at = std::lower_bound(entries.begin(), entries.end(),
                                   TreeEntry{node.path, {}, {}, {}, 0}, byPath);
        bool exists = at != entries.end() && at->path == node.path;
        if (node.type == 'a') {
            if (!exists) {
                error = "attr: \"" + node.path + "\" is not in the tree";
                return false;
            }
            at->header.mode = uint16_t((at->header.mode & S_IFMT) | node.mode);
            at->header.uid = node.uid;
            at->header.gid = node.gid;
            continue;
        }
        if (exists) {
            error = "node: \"" + node.path + "\" is already in the tree";
            return false;
        }
        TreeEntry entry;
        entry.path = node.path;
        uint16_t type = node.type == 'c'   ? S_IFCHR
                        : node.type == 'b' ? S_IFBLK
                        : node.type == 'p' ? S_IFIFO
                                           : S_IFDIR;
        entry.header.mode = uint16_t(type | node.mode);
        entry.header.uid = node.uid;
        entry.header.gid = node.gid;
        entry.header.mtime = manifest.entryTime ? *manifest.entryTime : 0;
        if (node.type == 'c' || node.type == 'b') {
            entry.device = node.device;
            entry.header.dataSize = 4;
        }
        entries.insert(at, std::move(entry));
    }
    return true;
}

bool collectTree(const std::string& root, const Manifest& manifest, std::vector<TreeEntry>& out,
                 std::string& error) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0) {
        error = root + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = root + ": not a directory";
        return false;
    }
    if (!walk(root, "", 0, manifest, out, error))
        return false;
    std::sort(out.begin(), out.end(), byPath);
    return applyDeclarations(manifest, out, error);
}

} // namespace rpx
