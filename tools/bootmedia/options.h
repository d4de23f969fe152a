#pragma once
// The options of one subcommand as its rules declare them and as the command line gave them
// (CLI11 reads the command line itself: main.cpp).
#include <map>
#include <string>
#include <vector>

namespace bootmedia {

struct OptionRule {
    std::string name; // without the dashes
    bool takesValue;
    bool repeatable = false;
};

struct Options {
    std::map<std::string, std::vector<std::string>> values; // a flag holds one empty value
    std::vector<std::string> arguments;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    // The value, or fallback when the option was not given.
    std::string get(const std::string& name, const std::string& fallback = "") const;
};

// Sizes as "512M", "2G", "1048576" (bytes); K, M and G are powers of 1024.
bool parseSize(const std::string& text, unsigned long long& bytes);

} // namespace bootmedia
