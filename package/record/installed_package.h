// A record of the package database: a package as installed below the target, with the paths it
// owns and its enabled/disabled state. Its persistent form is the directory
// "/flash/var/pdb/NAME/" of small text files ("version", "deps", "files", ...).
#pragma once

#include "package/record/package.h"
#include "package/record/record_reporter.h"
#include "package/record/record_root.h"

#include <istream>
#include <set>
#include <string>

namespace installer {

// Pending actions of a record.
enum Scheduled : int {
    scheduleNone = 0,
    scheduleUninstall = 1,
    scheduleEnable = 2,
    scheduleDisable = 3,
};

// Where pending actions are left for the installer.
inline const std::string scheduleRoot = "/ram/pdb/";

struct InstalledPackage : Package {
    std::set<std::string> files; // owned paths, as placed (beginning with "/", or "./")
    Requirement bundle;          // the bundle this package came from; empty name if none
    bool disabled = false;
    bool userChoice = false; // the enabled/disabled state was the user's choice
    Scheduled scheduled = scheduleNone;

    // "/flash/var/pdb/NAME/", or "./flash/var/pdb/NAME/" relative to the current directory.
    std::string databaseDirectory(const InstallationRoot& root) const;

    // Creates the database directory and its missing parents (mode 0770), inside the root.
    bool makeDatabaseDirectory(const InstallationRoot& root) const;

    // Fills the record from the database; never fails, but a damaged record comes out
    // scheduled for uninstallation. Reads and deletes a pending action left for it.
    void load(const std::string& packageName);

    // Writes the database files. The failing step reports and stops the save.
    bool save(const InstallationRoot& root, RecordReporter& reporter);

    // Creates the database directory on the target, saves, and removes the record if saving
    // failed.
    bool store(RecordReporter& reporter);

    // Streams `size` bytes of script body from `in` into the script file `scriptName`.
    bool writeScript(std::istream& in, uint32_t size, const std::string& scriptName,
                     const InstallationRoot& root, RecordReporter& reporter);

    void disable();
    void enable();

    // Deletes the package's files, then its database directory below `root` (the target's
    // when none is given).
    void remove(const InstallationRoot& root);
    void remove();

    // Deletes every owned path below the root it was placed under and empties `files`.
    // Directories stay.
    void removeFiles();
};

// What went wrong while storing a script.
enum class ScriptResult { written, broken, notCreated };

// writeScript with the reason of a failure: a script cut short is a broken package and is
// reported as such; a file that could not be written is reported as a creation failure.
ScriptResult writeScriptFile(InstalledPackage& package, std::istream& in, uint32_t size,
                             const std::string& scriptName, const InstallationRoot& root,
                             RecordReporter& reporter);

} // namespace installer
