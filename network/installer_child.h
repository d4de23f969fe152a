// The package-installer child: every flow installs a package file by writing it into a pipe,
// and a child process reads it from its standard input and installs it through the
// repository, keeping the raw package as its image when the record asks for one.
#pragma once

#include <cstdio>

namespace installer {

enum class InstallerMode {
    softwarePackage, // the repository talks on the console; the image is kept
    driverPackage,   // quiet, relative to the current root, no image
};

// Starts the child and returns the writing end of its standard input, or null when a piped
// child exists already or the pipe or the child cannot be made. End it with closePipedChild.
std::FILE* openInstallerPipe(InstallerMode mode);

// The child's exit status. A package it refuses or cannot read is reported by the child and
// the flow goes on with the next one; a target that cannot take the files (full, failing)
// would fail every package after it, so the flow stops there.
inline constexpr int installerDone = 0;
inline constexpr int installerTargetFailed = 3;

// What the child does: installs the package on standard input; returns its exit status. Only
// a software package (with its image) tells a target failure: a driver package is unpacked
// into the running system, not onto the target.
int installFromStream(bool imageWanted, bool quiet);

// True when the raw wait status of an installer child (closePipedChild) tells a target
// failure; -1 (no status) does not.
bool targetFailed(int waitStatus);

} // namespace installer
