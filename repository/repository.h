// The installed packages as this process sees them, and the only way package operations talk
// to the console: one status line (notices and the progress bar) and three kinds of messages.
// There is one per process (instance()); tests may make their own.
#pragma once

#include "package/format/reader.h"
#include "package/record/installed_package.h"
#include "package/record/record_reporter.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace installer {

class Repository : public RecordReporter {
public:
    static Repository& instance();

    std::vector<std::unique_ptr<InstalledPackage>> packages;
    std::string status;        // what the status line shows; empty when none is shown
    bool quiet = false;        // nothing at all is written to the console
    bool targetFailed = false; // a create failure that was the disk's (full, input/output)

    // Sets `quiet`, then adds a record for every entry of "/flash/var/pdb/".
    void loadDatabase(bool beQuiet);

    InstalledPackage* find(const std::string& name) const;
    int findIndex(const std::string& name) const;
    void add(std::unique_ptr<InstalledPackage> package);
    // Removes the record of that name with its files and database directory.
    void removeByName(const std::string& name);
    // The first record that owns exactly this path; empty when none.
    std::string ownerOf(const std::string& path) const;
    std::vector<InstalledPackage*> candidates(const Requirement& requirement,
                                              bool includeDisabled) const;
    // The first enabled record that excludes `package`.
    InstalledPackage* findConflicting(const Package& package) const;

    // The console (standard output unless a test directs it elsewhere).
    void setConsole(std::FILE* stream) { console = stream; }
    void setStatus(const std::string& text);
    void showProgress(const PackageReader& reader, const std::string& label);
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void reportError(const std::string& text) override;
    void noteTargetFailure() override { targetFailed = true; }

    // Executing package operations.
    std::string installLabel(const InstalledPackage& package) const;
    // Scripts, archive, verification, record and install script of a package whose header
    // parts were just read.
    bool installContents(InstalledPackage& package, PackageReader& reader,
                         const InstallationRoot& root);
    // Unpacks the archive part the reader stands on below the installation root.
    bool extractFiles(InstalledPackage& package, PackageReader& reader, bool unregistered,
                      const InstallationRoot& root);
    // Runs the package's script of that name inside "/flash"; true when there is none or it
    // exited with status 0.
    bool runScript(const InstalledPackage& package, const std::string& scriptName);

private:
    void message(const char* prefix, bool blankStatus, const char* format, va_list arguments);
    void write(const std::string& text);

    std::FILE* console = stdout;
};

// The 77-character progress line: label, " [", the bar, "]".
std::string progressLine(const std::string& label, uint64_t done, uint64_t total);

} // namespace installer
