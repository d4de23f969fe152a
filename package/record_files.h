// Small file-system helpers of the package database: directory chains and one-line text files.
// They work on the installer's own paths (the database directory, "/flash/x/NAME"); paths taken
// from package contents go through ConfinedRoot instead.
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

// Writes `text` as the whole content of `path` (created or truncated). False with errno set
// when opening, writing or closing fails.
bool writeTextFile(const std::string& path, const std::string& text);

// The whole content of `path`, at most `limit` bytes; false when it cannot be opened or read.
bool readTextFile(const std::string& path, std::string& text, size_t limit = 16u << 20);

bool fileExists(const std::string& path);
void deleteFile(const std::string& path);

} // namespace installer
