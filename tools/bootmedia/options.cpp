#include "tools/bootmedia/options.h"

#include <cctype>

namespace bootmedia {

std::string Options::get(const std::string& name, const std::string& fallback) const {
    auto found = values.find(name);
    return found == values.end() ? fallback : found->second.back();
}

bool parseOptions(const std::vector<std::string>& args, const std::vector<OptionRule>& rules,
                  Options& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (!arg.empty() && arg[0] == '-') {
                error = "unknown option " + arg;
                return false;
            }
            options.arguments.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2), value;
        size_t equals = name.find('=');
        bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const OptionRule* rule = nullptr;
        for (const OptionRule& candidate : rules)
            if (candidate.name == name)
                rule = &candidate;
        if (!rule) {
            error = "unknown option --" + name;
            return false;
        }
        if (rule->takesValue && !inlineValue) {
            if (i + 1 == args.size()) {
                error = "--" + name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!rule->takesValue && inlineValue) {
            error = "--" + name + " takes no value";
            return false;
        }
        if (!rule->repeatable && options.has(name)) {
            error = "--" + name + " is given twice";
            return false;
        }
        options.values[name].push_back(value);
    }
    return true;
}

bool parseSize(const std::string& text, unsigned long long& bytes) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    size_t end = 0;
    unsigned long long number = 0;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
        if (number > (~0ull) / 10)
            return false;
        number = number * 10 + static_cast<unsigned>(text[end++] - '0');
    }
    std::string unit = text.substr(end);
    unsigned shift = unit.empty() ? 0 : unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : 99;
    if (shift == 99 || number > (~0ull >> shift))
        return false;
    bytes = number << shift;
    return true;
}

} // namespace bootmedia
