#include "tools/rpx/list_command.h"

#include "package/record/record_text.h"
#include "package/record/version.h"
#include "tools/rpx/json.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace rpx {

namespace {

// Database files are a few words; more than this is not read.
constexpr std::streamsize fileLimit = 4096;

bool readSmallFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(size_t(fileLimit), '\0');
    in.read(text.data(), fileLimit);
    text.resize(size_t(in.gcount()));
    return true;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

ListedPackage readRecord(const std::string& directory, const std::string& name) {
    ListedPackage listed;
    listed.name = name;
    std::string text;
    uint32_t version = 0, buildTime = 0;
    bool known = readSmallFile(directory + "version", text) &&
                 installer::parseVersionLine(text, version, buildTime);
    listed.version = known ? installer::formatVersion(version) : "?";
    if (readSmallFile(directory + "disabled", text)) {
        listed.enabled = false;
        listed.why = installer::firstLine(text) == "auto" ? "auto" : "user";
    } else {
        listed.why = exists(directory + "enabled") ? "user" : "auto";
    }
    if (readSmallFile(directory + "bundle", text))
        listed.bundle = installer::firstWord(text);
    listed.isBundle = !exists(directory + "files");
    return listed;
}

} // namespace

bool readDatabase(const std::string& root, std::vector<ListedPackage>& out, std::string& error) {
    std::string database = root + "/var/pdb/";
    DIR* dir = opendir(database.c_str());
    if (!dir) {
        error = database + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        out.push_back(readRecord(database + name + "/", name));
    return true;
}

void printDatabase(const std::vector<ListedPackage>& packages, bool json, std::ostream& out) {
    if (json) {
        Json list = Json::array();
        for (const ListedPackage& p : packages)
            list.push_back(Json{{"name", byteString(p.name)},
                                {"version", byteString(p.version)},
                                {"enabled", p.enabled},
                                {"state", byteString(p.why)},
                                {"bundle", p.bundle.empty() ? Json() : byteString(p.bundle)},
                                {"isBundle", p.isBundle}});
        writeJson(out, list);
        return;
    }
    for (const ListedPackage& p : packages) {
        std::ostringstream line;
        std::string state = (p.enabled ? "enabled (" : "disabled (") + p.why + ")";
        line << p.name << std::string(p.name.size() < 17 ? 17 - p.name.size() : 1, ' ') << p.version
             << std::string(p.version.size() < 11 ? 11 - p.version.size() : 1, ' ') << state;
        if (p.isBundle)
            line << std::string(state.size() < 17 ? 17 - state.size() : 1, ' ') << "bundle";
        else if (!p.bundle.empty())
            line << std::string(state.size() < 17 ? 17 - state.size() : 1, ' ') << "in "
                 << p.bundle;
        out << line.str() << "\n";
    }
}

const char listUsage[] = "usage: rpx list --root DIR [--json]\n"
                         "Shows the package database below DIR: name, version, enabled or\n"
                         "disabled and whose choice that was (user or auto), and the bundle.\n";

int listCommand(const std::string& root, bool json) {
    std::vector<ListedPackage> packages;
    std::string error;
    if (!readDatabase(root, packages, error)) {
        std::cerr << "rpx: list: " << error << "\n";
        return 1;
    }
    printDatabase(packages, json, std::cout);
    return 0;
}

} // namespace rpx
