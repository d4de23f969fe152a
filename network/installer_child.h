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

// What the child does: installs the package on standard input.
void installFromStream(bool imageWanted, bool quiet);

} // namespace installer
