#pragma once
// The harness's failure texts: what it tried, then the system's reason.
#include <cerrno>
#include <cstring>
#include <string>

inline std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}
