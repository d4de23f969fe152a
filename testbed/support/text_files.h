#pragma once
// Small file and text helpers that tests, the harness and the demo share.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

// The whole file, or what of it could be read: "" when it cannot be opened. A read that fails
// (a /proc entry whose process has just ended) ends the text instead of throwing, as the file
// buffer does when read through an iterator.
inline std::string fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    return text.str();
}

// Replaces the file's contents (creating it); a failure shows in what the test reads back.
inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Anything at the path, a dangling link included.
inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// mkdir -p with mode 0755; what exists already is left as it is.
inline void makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            return;
    }
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
