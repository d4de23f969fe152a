// Installing a package stream: one package, or a bundle header followed by its member
// packages. The stream is read once, forward; every byte read can be copied to a tee.
#pragma once

#include "repository/planning.h"

#include <istream>
#include <streambuf>
#include <string>

namespace installer {

// Results of installPackageStream.
enum StreamResult : int {
    streamInstalled = 0,         // the package or the bundle was installed
    streamFailed = 1,            // unreadable, refused or failed; a bundle record not stored
    streamBundleRefused = 2,     // the bundle's install check refused it; nothing changed
    streamNoMemberInstalled = 3, // the bundle is recorded, but none of its members went in
};

// Reads a package or bundle from `in` and installs it. `accepted` are the install-check
// reasons that do not keep a package out. When the header announces a payload,
// `payloadDirectory` (if given) receives the record's database directory, whatever the
// outcome; it means something only with result 0.
int installPackageStream(Repository& repository, std::istream& in, unsigned accepted,
                         std::streambuf* tee, std::string* payloadDirectory);

// Installs the package whose header the reader stands on, below the target `root`. `bundle`
// is the bundle a member is installed from (null for a package of its own). Returns the
// record, owned by the repository, or null; for a member that is passed over, the installed
// record of its name.
InstalledPackage* installPackage(Repository& repository, PackageReader& reader,
                                 const InstallationRoot& root, unsigned accepted,
                                 const Requirement* bundle, std::string* payloadDirectory);

// Installs the bundle whose header the reader stands on, with its members.
int installBundle(Repository& repository, PackageReader& reader, const InstallationRoot& root,
                  unsigned accepted, std::string* payloadDirectory);

} // namespace installer
