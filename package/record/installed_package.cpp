#include "package/record/installed_package.h"

#include "package/owned_handles.h"
#include "package/record/record_files.h"
#include "package/record/record_root.h"
#include "package/record/record_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace installer {

namespace {

constexpr size_t scriptChunk = 16384;

const char scriptPreamble[] = "#!/bin/bash\n\n. /vela/lib/install/profile.sh\n\n";

// The package's database directory, looked up inside the target root so that a link placed by
// some package's contents cannot turn the database's writes and deletions elsewhere.
class RecordDirectory {
public:
    RecordDirectory(const InstallationRoot& installation, const std::string& name, bool create)
        : root(installation), inner(installation.databaseInside(name)) {
        fd = root.openDirectory(inner, create);
    }
    ~RecordDirectory() {
        if (fd >= 0)
            close(fd);
    }
    RecordDirectory(const RecordDirectory&) = delete;
    RecordDirectory& operator=(const RecordDirectory&) = delete;

    bool valid() const { return fd >= 0; }

    bool read(const char* file, std::string& text) const {
        if (fd < 0)
            return false;
        int in = openat(fd, file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (in < 0)
            return false;
        bool ok = readAll(in, text);
        close(in);
        return ok;
    }

    bool exists(const char* file) const {
        struct stat st;
        return fd >= 0 && fstatat(fd, file, &st, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // Opens a file of the directory for writing, created or truncated; -1 with errno.
    int create(const char* file, mode_t mode) const {
        if (fd < 0) {
            errno = ENOENT;
            return -1;
        }
        return openat(fd, file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    }

    bool write(const char* file, const std::string& text) const {
        int out = create(file, 0666);
        if (out < 0)
            return false;
        if (!writeAll(out, text.data(), text.size())) {
            int saved = errno;
            close(out);
            errno = saved;
            return false;
        }
        return close(out) == 0;
    }

    void erase(const char* file) const {
        if (fd >= 0)
            unlinkat(fd, file, 0);
    }

    // Deletes every entry whose name does not begin with ".", then the directory itself.
    void removeAll() {
        if (fd < 0)
            return;
        if (OwnedDirectory dir = listDirectory(dup(fd))) {
            std::vector<std::string> names;
            while (dirent* entry = readdir(dir.get()))
                if (entry->d_name[0] != '.')
                    names.emplace_back(entry->d_name);
            dir.reset();
            for (const std::string& name : names)
                unlinkat(fd, name.c_str(), 0);
        }
        std::string leaf;
        int parent = root.parent(inner, leaf, false);
        if (parent >= 0 && !leaf.empty())
            unlinkat(parent, leaf.c_str(), AT_REMOVEDIR);
    }

    static bool writeAll(int out, const char* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::write(out, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = ENOSPC;
                return false;
            }
            data += n;
            size -= size_t(n);
        }
        return true;
    }

private:
    static bool readAll(int in, std::string& text) {
        text.clear();
        char chunk[4096];
        for (;;) {
            ssize_t n = ::read(in, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0)
                return true;
            text.append(chunk, size_t(n));
        }
    }

    ConfinedRoot root;
    std::string inner;
    int fd = -1;
};

void readRequirements(const RecordDirectory& directory, const char* file, bool withPriority,
                      std::vector<Requirement>& list, Scheduled& scheduled) {
    std::string text;
    if (!directory.read(file, text))
        return;
    if (!parseRequirementLines(text, withPriority, list))
        scheduled = scheduleUninstall;
}

// A failed step of save: report it under "meta/" + the file's name.
bool failedStep(RecordReporter& reporter, const InstalledPackage& package, const char* file) {
    reportCreateFailure(reporter, package, std::string("meta/") + file);
    return false;
}

} // namespace

std::string InstalledPackage::databaseDirectory(const InstallationRoot& root) const {
    return root.databaseDirectory(name);
}

bool InstalledPackage::makeDatabaseDirectory(const InstallationRoot& root) const {
    return RecordDirectory(root, name, true).valid();
}

void InstalledPackage::load(const std::string& packageName) {
    name = packageName;
    RecordDirectory directory(InstallationRoot::target(), name, false);
    std::string text;
    if (!directory.read("version", text) || !parseVersionLine(text, version, buildTime))
        scheduled = scheduleUninstall;
    readRequirements(directory, "deps", false, depends, scheduled);
    readRequirements(directory, "provides", true, provides, scheduled);
    readRequirements(directory, "conflicts", false, conflicts, scheduled);

    if (!directory.exists("files"))
        isBundle = true;
    else if (directory.read("files", text))
        parseFileLines(text, files);

    if (directory.read("bundle", text)) {
        std::string word = firstWord(text);
        if (!word.empty()) {
            bundle.name = word;
            bundle.minVersion = bundle.maxVersion = 0;
        }
    }

    userChoice = false;
    if (directory.read("disabled", text)) {
        disabled = true;
        userChoice = firstLine(text) != "auto";
    } else {
        disabled = false;
        userChoice = directory.exists("enabled");
    }

    std::string schedulePath = scheduleRoot + name + "/schedule";
    if (readTextFile(schedulePath, text, 4096)) {
        text = firstWord(text);
        if (text == "uninstall") {
            scheduled = scheduleUninstall;
        } else if (text == "enable") {
            scheduled = scheduleEnable;
            userChoice = true;
        } else if (text == "disable") {
            scheduled = scheduleDisable;
            userChoice = true;
        }
    }
    unlink(schedulePath.c_str());
}

bool InstalledPackage::save(const InstallationRoot& root, RecordReporter& reporter) {
    RecordDirectory directory(root, name, false);
    if (!directory.write("version", formatVersionLine(version, buildTime)))
        return failedStep(reporter, *this, "version");
    if (!directory.write("deps", formatRequirementLines(depends, false)))
        return failedStep(reporter, *this, "deps");
    if (!provides.empty() && !directory.write("provides", formatRequirementLines(provides, true)))
        return failedStep(reporter, *this, "provides");
    if (!conflicts.empty() &&
        !directory.write("conflicts", formatRequirementLines(conflicts, false)))
        return failedStep(reporter, *this, "conflicts");
    if (bundle.name.empty())
        directory.erase("bundle");
    else if (!directory.write("bundle", bundle.name + "\n"))
        return failedStep(reporter, *this, "bundle");
    if (disabled)
        directory.write("disabled", userChoice ? "user\n" : "auto\n");
    else
        directory.erase("disabled");
    if (disabled || !userChoice)
        directory.erase("enabled");
    else
        directory.write("enabled", "user\n");
    if (!isBundle && !directory.write("files", formatFileLines(files)))
        return failedStep(reporter, *this, "files");
    if (hasPayload)
        directory.erase("oninstall");
    return true;
}

bool InstalledPackage::store(RecordReporter& reporter) {
    InstallationRoot root = InstallationRoot::target();
    if (!makeDatabaseDirectory(root))
        return false;
    if (save(root, reporter))
        return true;
    remove(root);
    return false;
}

ScriptResult writeScriptFile(InstalledPackage& package, std::istream& in, uint32_t size,
                             const std::string& scriptName, const InstallationRoot& root,
                             RecordReporter& reporter) {
    RecordDirectory directory(root, package.name, false);
    int out = directory.create(scriptName.c_str(), 0755);
    if (out < 0) {
        int error = errno;
        reportCreateFailure(reporter, package, scriptName, error);
        errno = error;
        return ScriptResult::notCreated;
    }
    bool written = RecordDirectory::writeAll(out, scriptPreamble, sizeof scriptPreamble - 1);
    // The body goes through in chunks: its length is the package's word, not a reason to
    // allocate.
    char chunk[scriptChunk];
    uint32_t left = size;
    while (written && left > 0) {
        size_t want = left < scriptChunk ? left : scriptChunk;
        in.read(chunk, std::streamsize(want));
        if (size_t(in.gcount()) != want) {
            close(out);
            directory.erase(scriptName.c_str());
            reportBrokenPackage(reporter, package);
            return ScriptResult::broken;
        }
        written = RecordDirectory::writeAll(out, chunk, want);
        left -= uint32_t(want);
    }
    int error = written ? 0 : errno;
    if (written && fchmod(out, 0755) != 0) {
        written = false;
        error = errno;
    }
    if (close(out) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        reportCreateFailure(reporter, package, scriptName, error);
        errno = error;
        return ScriptResult::notCreated;
    }
    return ScriptResult::written;
}

bool InstalledPackage::writeScript(std::istream& in, uint32_t size, const std::string& scriptName,
                                   const InstallationRoot& root, RecordReporter& reporter) {
    return writeScriptFile(*this, in, size, scriptName, root, reporter) == ScriptResult::written;
}

void InstalledPackage::disable() {
    RecordDirectory directory(InstallationRoot::target(), name, false);
    directory.erase("enabled");
    directory.write("disabled", userChoice ? "user\n" : "auto\n");
    disabled = true;
    scheduled = scheduleNone;
}

void InstalledPackage::enable() {
    RecordDirectory directory(InstallationRoot::target(), name, false);
    directory.erase("disabled");
    if (userChoice)
        directory.write("enabled", "user\n");
    else
        directory.erase("enabled");
    disabled = false;
    scheduled = scheduleNone;
}

void InstalledPackage::remove(const InstallationRoot& root) {
    removeFiles();
    RecordDirectory directory(root, name, false);
    directory.removeAll();
    scheduled = scheduleNone;
}

void InstalledPackage::remove() {
    remove(InstallationRoot::target());
}

void InstalledPackage::removeFiles() {
    // Paths placed relative to the current directory begin with "./" and are removed there;
    // all others were placed below the target.
    ConfinedRoot target(InstallationRoot::target());
    ConfinedRoot current(InstallationRoot::currentDirectory());
    // Backwards, so that what lies below a recorded link ("/lib/x" after "/lib") goes before
    // the link that leads to it.
    for (auto at = files.rbegin(); at != files.rend(); ++at) {
        const std::string& path = *at;
        if (hasParentComponent(path))
            continue;
        bool relative = path.starts_with('.');
        ConfinedRoot& root = relative ? current : target;
        std::string leaf;
        int dir = root.parent(std::string_view(path).substr(relative ? 1 : 0), leaf, false);
        if (dir >= 0 && !leaf.empty())
            unlinkat(dir, leaf.c_str(), 0);
    }
    files.clear();
}

} // namespace installer
