#pragma once
// Small text helpers that tests and the demo read results with.
#include <fstream>
#include <iterator>
#include <string>

// The whole file, or "" when it cannot be read.
inline std::string fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
