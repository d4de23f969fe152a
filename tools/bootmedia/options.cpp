#include "tools/bootmedia/options.h"

#include <cctype>

namespace bootmedia {

std::string Options::get(const std::string& name, const std::string& fallback) const {
    auto found = values.find(name);
    return found == values.end() ? fallback : found->second.back();
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
