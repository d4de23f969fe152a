#include "tools/install-server/layout.h"

#include "package/format/format.h"
#include "package/format/reader.h"
#include "package/record/record_relations.h"
#include "package/record/record_root.h"
#include "package/record/version.h"
#include "repository/planning.h"
#include "tools/rpx/signing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace iserver {

using installer::Package;
using installer::PackageFile;
using installer::Requirement;

ServedFile::~ServedFile() {
    if (fd >= 0)
        ::close(fd);
}

namespace {

// The client keeps the first 32 characters of an announced name.
constexpr size_t clientNameLimit = 32;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Entries of a directory, sorted, without "." and ".."; false (errno set) when it cannot be read.
bool listDirectory(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The first archive entry whose name climbs out of the installation root; empty when none.
// A damaged archive is the signature check's to report.
std::string escapingEntry(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    installer::PackageReader reader(file, false);
    reader.want(installer::partArchive);
    std::string name;
    char skip[4096];
    while (reader && reader.next() == installer::partArchive) {
        installer::InflatingStream in(reader);
        for (;;) {
            uint8_t head[installer::fileEntryHeaderSize];
            in.read(reinterpret_cast<char*>(head), sizeof head);
            if (in.gcount() != std::streamsize(sizeof head))
                break;
            installer::FileEntryHeader entry = installer::decodeFileEntry(head);
            name.resize(entry.nameLength);
            if (!in.read(name.data(), entry.nameLength))
                break;
            if (installer::hasParentComponent(name))
                return name;
            for (uint32_t left = entry.dataSize; left > 0 && in;) {
                uint32_t step = std::min<uint32_t>(left, sizeof skip);
                in.read(skip, step);
                left -= step;
            }
        }
    }
    return "";
}

class Loader {
public:
    Loader(const LoadOptions& options, std::vector<std::string>& problems)
        : options(options), problems(problems) {}

    FilePtr open(const std::string& path, const std::string& name, bool script);
    void loadPackages(const std::string& folder, std::vector<FilePtr>& out);
    void loadScripts(const std::string& folder, const std::string& prefix,
                     std::vector<FilePtr>& out);
    void loadAdditions(const std::string& folder, Additions& out);
    bool problem(const std::string& file, const std::string& what) {
        problems.push_back(file + ": " + what);
        return false;
    }

private:
    bool verifyPackage(const std::string& path, ServedFile& file);

    const LoadOptions& options;
    std::vector<std::string>& problems;
};

bool Loader::verifyPackage(const std::string& path, ServedFile& file) {
    auto package = std::make_shared<PackageFile>();
    if (!package->openPackageFile(path))
        return problem(path, "not a readable package (broken header parts, or its size differs "
                             "from the length it declares)");
    if (options.verify) {
        std::filebuf in;
        unsigned count = 0;
        std::string error;
        if (!in.open(path, std::ios_base::in | std::ios_base::binary))
            return problem(path, std::strerror(errno));
        if (!rpx::verifyPackageStream(&in, options.publicKey, nullptr, count, error))
            return problem(path, error);
        std::string escaping = escapingEntry(path);
        if (!escaping.empty())
            return problem(path, "entry \"" + escaping + "\" would be written outside /flash");
    }
    file.package = std::move(package);
    return true;
}

FilePtr Loader::open(const std::string& path, const std::string& name, bool script) {
    auto file = std::make_shared<ServedFile>();
    file->name = name;
    file->path = path;
    file->script = script;
    // Non-blocking, so that a FIFO in the directory cannot hang the load.
    file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (file->fd < 0 || ::fstat(file->fd, &st) != 0) {
        problem(path, std::strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        problem(path, "not a regular file");
        return nullptr;
    }
    file->size = uint64_t(st.st_size);
    if (file->size > uint64_t(INT32_MAX)) {
        problem(path, "larger than the 2 GiB a client can announce");
        return nullptr;
    }
    if (script) {
        std::string trouble = scriptNameProblem(name);
        if (!trouble.empty()) {
            problem(path, trouble);
            return nullptr;
        }
    } else if (name.size() > clientNameLimit || name.find('\n') != std::string::npos ||
               endsWith(name.substr(0, clientNameLimit), ".scr")) {
        problem(path, "a client would not take this name for a package");
        return nullptr;
    } else if (!verifyPackage(path, *file)) {
        return nullptr;
    }
    return file;
}

void Loader::loadPackages(const std::string& folder, std::vector<FilePtr>& out) {
    std::vector<std::string> names;
    if (!isDirectory(folder))
        return;
    if (!listDirectory(folder, names)) {
        problem(folder, std::strerror(errno));
        return;
    }
    for (const std::string& name : names) {
        std::string path = folder + "/" + name;
        if (!endsWith(name, ".rpx")) {
            problem(path, "neither a package (.rpx) nor anything else this directory holds");
            continue;
        }
        if (FilePtr file = open(path, name, false))
            out.push_back(file);
    }
}

void Loader::loadScripts(const std::string& folder, const std::string& prefix,
                         std::vector<FilePtr>& out) {
    std::vector<std::string> names;
    if (!listDirectory(folder, names)) {
        problem(folder, std::strerror(errno));
        return;
    }
    for (const std::string& name : names) {
        std::string path = folder + "/" + name;
        if (isDirectory(path)) {
            loadScripts(path, prefix + name + "/", out);
        } else if (!endsWith(name, ".scr")) {
            problem(path, "not a configuration script (.scr)");
        } else if (FilePtr file = open(path, prefix + name, true)) {
            out.push_back(file);
        }
    }
}

void Loader::loadAdditions(const std::string& folder, Additions& out) {
    std::vector<std::string> names;
    if (!listDirectory(folder, names)) {
        problem(folder, std::strerror(errno));
        return;
    }
    for (const std::string& name : names) {
        std::string path = folder + "/" + name;
        if (name == "keep")
            out.keep = true;
        else if (isDirectory(path))
            loadScripts(path, name + "/", out.scripts);
        else if (endsWith(name, ".scr")) {
            if (FilePtr file = open(path, name, true))
                out.scripts.push_back(file);
        } else if (endsWith(name, ".rpx")) {
            if (FilePtr file = open(path, name, false))
                out.packages.push_back(file);
        } else
            problem(path, "neither a package (.rpx), a script (.scr) nor \"keep\"");
    }
}

// Packages in the project's own dependency order; `dropped` gets those a newer one supersedes.
std::vector<FilePtr> dependencyOrder(const std::vector<FilePtr>& files,
                                     std::vector<FilePtr>* dropped) {
    std::vector<Package*> list;
    for (const FilePtr& file : files)
        list.push_back(file->package.get());
    installer::Repository repository;
    repository.quiet = true;
    installer::orderPackages(repository, list, false);
    std::vector<FilePtr> ordered;
    for (Package* package : list)
        for (const FilePtr& file : files)
            if (file->package.get() == package)
                ordered.push_back(file);
    if (dropped)
        for (const FilePtr& file : files)
            if (std::find(ordered.begin(), ordered.end(), file) == ordered.end())
                dropped->push_back(file);
    return ordered;
}

void replaceOrAdd(std::vector<FilePtr>& list, const FilePtr& file) {
    for (FilePtr& present : list)
        if (present->name == file->name) {
            present = file;
            return;
        }
    list.push_back(file);
}

bool serves(const Package& package, const Requirement& need) {
    if (installer::satisfies(package, need) || installer::providesFor(package, need))
        return true;
    for (const auto& member : package.members)
        if (serves(*member, need))
            return true;
    return false;
}

void readOrder(Loader& loader, const std::string& directory, Content& content,
               std::vector<FilePtr>& packages, std::vector<FilePtr>& scripts) {
    std::string path = directory + "/order";
    std::ifstream in(path);
    if (!in) {
        loader.problem(path, std::strerror(errno));
        return;
    }
    std::vector<FilePtr> all = packages;
    all.insert(all.end(), scripts.begin(), scripts.end());
    std::set<const ServedFile*> listed;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        FilePtr found;
        for (const FilePtr& file : all)
            if (file->path == directory + "/" + line)
                found = file;
        if (!found)
            loader.problem(path, "line " + std::to_string(number) + ": \"" + line +
                                     "\" is no package or script of this directory");
        else if (!listed.insert(found.get()).second)
            loader.problem(path,
                           "line " + std::to_string(number) + ": \"" + line + "\" is listed twice");
        else
            content.general.files.push_back(found);
    }
    for (const FilePtr& file : all)
        if (!listed.count(file.get()))
            loader.problem(path, "does not list " + file->path.substr(directory.size() + 1) +
                                     " (every general file is listed, or none is sent)");
}

} // namespace

std::string scriptNameProblem(const std::string& name) {
    if (name.size() > clientNameLimit)
        return "the name \"" + name + "\" is longer than the 32 characters a client keeps";
    if (name.size() <= 4 || !endsWith(name, ".scr"))
        return "a client would not take \"" + name + "\" for a configuration script";
    if (name[0] == '/' || installer::hasParentComponent(name))
        return "the name \"" + name + "\" would be written outside /flash";
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "the name holds a control character";
    return "";
}

FilePtr Content::driverFor(const std::string& release) const {
    auto found = drivers.find(release);
    if (found == drivers.end())
        found = drivers.find("default");
    return found == drivers.end() ? nullptr : found->second;
}

Offer Content::offerFor(const Mac& machine, const std::string& label) const {
    std::vector<FilePtr> packages, scripts;
    for (const FilePtr& file : general.files)
        (file->script ? scripts : packages).push_back(file);
    bool keep = general.keep, added = false;
    auto add = [&](const Additions& additions) {
        for (const FilePtr& file : additions.packages)
            replaceOrAdd(packages, file);
        for (const FilePtr& file : additions.scripts)
            replaceOrAdd(scripts, file);
        keep = keep || additions.keep;
        added = added || !additions.packages.empty();
    };
    if (auto found = labels.find(label); !label.empty() && found != labels.end())
        add(found->second);
    if (auto found = machines.find(machine); found != machines.end())
        add(found->second);
    Offer offer;
    offer.keep = keep;
    offer.files = added ? dependencyOrder(packages, nullptr) : packages;
    offer.files.insert(offer.files.end(), scripts.begin(), scripts.end());
    return offer;
}

void checkOrder(const Offer& offer, const std::string& who, std::vector<std::string>& problems) {
    std::vector<const Package*> before;
    for (const FilePtr& file : offer.files) {
        if (!file->package)
            continue;
        const Package& package = *file->package;
        std::vector<const Package*> units{&package};
        for (const auto& member : package.members)
            units.push_back(member.get());
        for (const Package* unit : units)
            for (const Requirement& need : unit->depends) {
                bool met = false;
                for (const Package* earlier : before)
                    met = met || serves(*earlier, need);
                for (const auto& member : package.members)
                    met = met || serves(*member, need);
                if (!met)
                    problems.push_back(
                        file->path + ": needs " + need.name +
                        (need.minVersion ? " " + installer::formatVersion(need.minVersion) : "") +
                        ", which no package sent before it to " + who + " provides");
            }
        before.push_back(&package);
    }
}

std::shared_ptr<Content> loadContent(const std::string& directory, const LoadOptions& options,
                                     std::vector<std::string>& problems) {
    auto content = std::make_shared<Content>();
    content->directory = directory;
    Loader loader(options, problems);
    if (!isDirectory(directory)) {
        loader.problem(directory, "not a directory");
        return content;
    }

    std::vector<FilePtr> drivers;
    loader.loadPackages(directory + "/drivers", drivers);
    for (const FilePtr& file : drivers)
        content->drivers[file->name.substr(0, file->name.size() - 4)] = file;
    if (drivers.empty() && problems.empty())
        loader.problem(directory + "/drivers", "no driver package (RELEASE.rpx or default.rpx)");

    std::vector<FilePtr> packages, scripts;
    loader.loadPackages(directory + "/packages", packages);
    if (isDirectory(directory + "/scripts"))
        loader.loadScripts(directory + "/scripts", "", scripts);
    content->general.keep = exists(directory + "/keep");

    if (exists(directory + "/order")) {
        readOrder(loader, directory, *content, packages, scripts);
    } else {
        content->general.files = dependencyOrder(packages, &content->superseded);
        content->general.files.insert(content->general.files.end(), scripts.begin(), scripts.end());
    }

    for (const char* kind : {"machines", "labels"}) {
        std::string folder = directory + "/" + kind;
        std::vector<std::string> names;
        if (!isDirectory(folder))
            continue;
        if (!listDirectory(folder, names)) {
            loader.problem(folder, std::strerror(errno));
            continue;
        }
        for (const std::string& name : names) {
            std::string path = folder + "/" + name;
            if (!isDirectory(path)) {
                loader.problem(path, "not a directory");
                continue;
            }
            if (kind[0] == 'l') {
                loader.loadAdditions(path, content->labels[name]);
                continue;
            }
            Mac mac;
            if (!parseMac(name, mac)) {
                loader.problem(path, "not a hardware address (02-1A-2B-3C-4D-5E)");
                continue;
            }
            loader.loadAdditions(path, content->machines[mac]);
        }
    }

    checkOrder(content->general, "every machine", problems);
    for (const auto& [mac, additions] : content->machines)
        checkOrder(content->offerFor(mac, ""), formatMac(mac), problems);
    for (const auto& [label, additions] : content->labels)
        checkOrder(content->offerFor(Mac{}, label), "label " + label, problems);
    return content;
}

} // namespace iserver
