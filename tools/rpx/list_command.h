// `rpx list --root DIR [--json]`: the package database below DIR, one record per line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace rpx {

struct ListedPackage {
    std::string name;
    std::string version; // text form; "?" when the record's version file is damaged
    bool enabled = true;
    std::string why;       // "user" or "auto": who chose the state
    std::string bundle;    // the bundle it came from; empty for a package of its own
    bool isBundle = false; // a bundle's own record (it owns no files)
};

// The records of DIR/var/pdb/, in name order. False (with `error`) when there is no database.
bool readDatabase(const std::string& root, std::vector<ListedPackage>& out, std::string& error);

void printDatabase(const std::vector<ListedPackage>& packages, bool json, std::ostream& out);

extern const char listUsage[];
// The exit status: 0 when the database was shown.
int listCommand(const std::string& root, bool json);

} // namespace rpx
