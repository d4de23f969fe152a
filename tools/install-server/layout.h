// The served directory: what goes to which machine, loaded once (and again on reload) into an
// immutable snapshot. Every file is opened at load time and read block by block while it is
// served, so a snapshot keeps serving what it loaded even when the directory changes under it.
//
//   DIR/drivers/RELEASE.rpx     driver package for the kernel release a machine names
//   DIR/drivers/default.rpx     driver package for any other release
//   DIR/packages/*.rpx          packages, served in dependency order (or as DIR/order says)
//   DIR/scripts/**.scr          configuration scripts, written by the client below /flash
//   DIR/machines/MAC/           additions for one machine (02-1A-2B-3C-4D-5E or with colons)
//   DIR/labels/LABEL/           additions for the machines whose disk label is LABEL
//   DIR/keep, .../MAC/keep      offer "keep" (carry the old configuration over)
//   DIR/order                   optional: the general files, one path below DIR a line
#pragma once

#include "package/record/package_file.h"
#include "tools/install-server/wire.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace iserver {

struct ServedFile {
    std::string name; // as announced: a package's file name, a script's path below scripts/
    std::string path; // where it was loaded from
    uint64_t size = 0;
    bool script = false;
    int fd = -1;
    std::shared_ptr<installer::PackageFile> package; // header parts; null for scripts

    ServedFile() = default;
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;
    ~ServedFile();
};
using FilePtr = std::shared_ptr<const ServedFile>;

// Files for one machine, in the order they are sent, with whether "keep" is offered.
struct Offer {
    std::vector<FilePtr> files;
    bool keep = false;
};

struct Additions {
    std::vector<FilePtr> packages, scripts;
    bool keep = false;
};

struct Content {
    std::string directory;
    std::map<std::string, FilePtr> drivers; // by kernel release; "default" for the rest
    Offer general;
    std::vector<FilePtr> superseded; // packages the ordering leaves out (a newer one is served)
    std::map<Mac, Additions> machines;
    std::map<std::string, Additions> labels;

    // The driver package for a kernel release; null when none is served.
    FilePtr driverFor(const std::string& release) const;
    // What a machine gets: the general files with its label's and its own added (a file of
    // the same name replaces the general one), packages in dependency order, then scripts.
    Offer offerFor(const Mac& machine, const std::string& label) const;
};

struct LoadOptions {
    const uint8_t* publicKey = nullptr; // null: the key built into the installer
    bool verify = true;                 // signatures and whole-file reading
};

// Loads and checks the directory. Every problem found is appended to `problems` as
// "FILE: what is wrong"; the content is usable only when there are none.
std::shared_ptr<Content> loadContent(const std::string& directory, const LoadOptions& options,
                                     std::vector<std::string>& problems);

// Problems of the order in which a machine's packages are sent: a dependency that no earlier
// package serves.
void checkOrder(const Offer& offer, const std::string& who, std::vector<std::string>& problems);

// What is wrong with a name the client would write (scripts go to "/flash/" + name, cut to 32
// characters); empty when it is fine.
std::string scriptNameProblem(const std::string& name);

} // namespace iserver
