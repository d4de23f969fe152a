// Small file-system helpers: directory chains and small text files.
// They follow links like any path lookup, so they are for the installer's own paths (the
// schedule files below "/ram", directories of the boot image); anything below the target that
// a package could have shaped goes through ConfinedRoot instead.
#pragma once

#include <string>
#include <vector>

namespace installer {

// Creates `path` and every missing ancestor, outermost first, with mode 0770. An existing
// directory counts as created. With parentsOnly the path itself is left out. False on the
// first other failure (errno tells why).
bool makeDirectories(const std::string& path, bool parentsOnly);

// The directories makeDirectories creates for `path`, outermost first (no system calls).
std::vector<std::string> directoryChain(const std::string& path, bool parentsOnly);

// The whole content of `path`, at most `limit` bytes; false when it cannot be opened or read.
bool readTextFile(const std::string& path, std::string& text, size_t limit = 16u << 20);

bool fileExists(const std::string& path);

} // namespace installer
