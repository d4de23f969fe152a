#include "tools/install-server/check.h"

#include "tools/install-server/exit_codes.h"
#include "tools/install-server/server.h"

#include <sys/stat.h>

#include <iostream>

namespace iserver {

namespace {

void describe(const std::string& who, const Offer& offer) {
    std::cout << who << (offer.keep ? " (keep)" : "") << ":";
    for (const FilePtr& file : offer.files)
        std::cout << " " << file->name;
    std::cout << "\n";
}

} // namespace

int check(const std::string& directory, const std::string& keyFile) {
    struct stat st;
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::cerr << "install-server: " << directory << ": not a directory\n";
        return exitConfiguration;
    }
    int status = exitSuccess;
    auto content = loadChecked(directory, keyFile, true, status);
    if (!content) {
        std::cerr << "install-server: " << directory << ": check failed\n";
        return status;
    }
    for (const auto& [release, file] : content->drivers)
        std::cout << "drivers for " << release << ": " << file->name << "\n";
    describe("every machine", content->general);
    for (const auto& [mac, additions] : content->machines)
        describe(formatMac(mac), content->offerFor(mac, ""));
    for (const auto& [label, additions] : content->labels)
        describe("label " + label, content->offerFor(Mac{}, label));
    for (const FilePtr& file : content->superseded)
        std::cout << "not sent: " << file->path
                  << " (a newer package of the directory replaces it)\n";
    std::cout << directory << ": ready to serve\n";
    return exitSuccess;
}

} // namespace iserver
