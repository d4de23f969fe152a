#pragma once
// Running the host programs the media are made with (apt-get, dpkg-deb, xz, xorriso, mtools,
// syslinux, rpx): argument vectors only, never a shell, and a failure names the program.
#include <string>
#include <vector>

namespace bootmedia {

// Runs argv[0] (searched in PATH) in directory (empty: the current one) with standard output
// sent to outputFile when it is not empty. False, with a message in error, when it cannot be
// started or ends with a status other than 0.
bool runProgram(const std::vector<std::string>& argv, std::string& error,
                const std::string& directory = "", const std::string& outputFile = "");

} // namespace bootmedia
